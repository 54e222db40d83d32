#pragma once

#include <QtCore/QHash>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QVariant>
#include <QtGui/QColor>
#include <QtGui/QFont>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// What a theme key answers.
enum class ZKThemeValueKind { Color, Font, Image };

// One key a theme class answers, with the kind of value it holds.
struct ZKThemeKeyDeclaration {
  const char* key;
  ZKThemeValueKind kind;
};

// The keys one theme class adds, and the resource that holds their values (and the values it overrides
// of the keys it inherits).
struct ZKThemeLayer {
  QString resourcePath;
  std::vector<ZKThemeKeyDeclaration> keys;
};

// A theme: named colours, fonts and images, answered by key. The values are data, read once from one
// JSON resource per theme class (a subclass's resource is laid over its base class's); each lookup
// builds a new value. Resource form:
//   {"keys": {"<key>": <value>, ...}}
// colour: "white" | "black" | "clear" | "#RRGGBB[AA]" | {"rgb": [r, g, b]} | {"white": w, "alpha": a}
// font:   {"weight": "regular"|"medium"|"semibold"|"bold", "size": <points> | "base" | "base-<n>"}
// image:  {"image": "<image name>"}
// any:    {"ref": "<other key>"} (that key's value in the receiving theme), for colours with "alpha".
// A declared key that is missing, of the wrong kind or unreadable is logged once by name when the
// resource is read; it keeps the inherited value when there is one, else it has no value.
class ZKTheme {
 public:
  using Factory = std::function<std::unique_ptr<ZKTheme>()>;

  virtual ~ZKTheme();
  ZKTheme(const ZKTheme&) = delete;
  ZKTheme& operator=(const ZKTheme&) = delete;

  // The one instance of the theme class of that name, made on first use and kept for the process;
  // nullptr when no theme class has that name.
  static ZKTheme* sharedTheme(const QString& className);
  // Makes a theme class known by name (the kit's light and dark themes are known from the start).
  static void registerThemeClass(const QString& className, Factory factory);
  static bool themeClassExists(const QString& className);

  // The class name the theme was made as ("DDLightTheme").
  const QString& className() const { return className_; }
  // The display name; none for the base class.
  virtual QString themeName() const { return QString(); }

  // True when the theme class answers this key itself (a declared key, inherited ones included).
  bool respondsToKey(const QString& key) const;
  // The value of a declared key (an invalid variant when it has none, without a log line); any other
  // key goes through valueForUndefinedKey.
  QVariant valueForKey(const QString& key) const;
  // The value of the key's camel-case form when the theme answers it; otherwise (or when that value
  // is missing) logs "[DEBUG] <class> could not find value for key: <camel-case key>" and answers an
  // invalid variant.
  QVariant valueForUndefinedKey(const QString& key) const;

  // The keys the class answers, in declaration order (inherited first).
  QStringList declaredKeys() const;
  std::optional<ZKThemeValueKind> kindOfKey(const QString& key) const;

 protected:
  enum class FontWeight { Regular, Medium, Semibold, Bold };

  // Reads the layers, base first.
  ZKTheme(QString className, std::vector<ZKThemeLayer> layers);

  // The font of that weight and size, for the font values of the resource; none by default.
  virtual std::optional<QFont> fontWithWeight(FontWeight weight, double size) const;
  // The base size that "base" font sizes refer to.
  virtual double baseFontSize() const { return 13.0; }

 private:
  struct Entry;
  void load(const ZKThemeLayer& layer);
  void checkReferences();
  QVariant build(const QString& key, int depth) const;

  QString className_;
  std::vector<ZKThemeLayer> layers_;
  QHash<QString, ZKThemeValueKind> kinds_;
  // Every readable value a key had, base layer first: the last one answers, the earlier ones are
  // what a broken later value falls back to.
  QHash<QString, std::vector<std::shared_ptr<const Entry>>> entries_;
};
