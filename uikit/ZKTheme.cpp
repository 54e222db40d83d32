#include "uikit/ZKTheme.h"

#include <QtCore/QFile>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QRegularExpression>
#include <QtGui/QImage>
#include <mutex>

#include "platform/Log.h"
#include "uikit/DDDarkTheme.h"
#include "uikit/DDLightTheme.h"
#include "uikit/NSImage+TintColor.h"
#include "uikit/NSString+Inflections.h"

// One readable value of a key as the resource gives it; turned into a colour, font or image on lookup.
struct ZKTheme::Entry {
  ZKThemeValueKind kind = ZKThemeValueKind::Color;
  QString ref;                  // another key of the same kind, when the value refers to one
  std::optional<double> alpha;  // a referred colour's new alpha
  QColor color;
  FontWeight weight = FontWeight::Regular;
  std::optional<double> size;  // points; none: the base size plus sizeOffset
  double sizeOffset = 0;
  QString image;
};

namespace {

// Keeps a value in the log line short.
std::string describe(const QJsonValue& value) {
  if (value.isUndefined()) return "nothing";
  QJsonArray wrapper{value};
  QByteArray text = QJsonDocument(wrapper).toJson(QJsonDocument::Compact);
  text = text.mid(1, text.size() - 2);
  if (text.size() > 80) text = text.left(77) + "...";
  return text.toStdString();
}

const char* kindName(ZKThemeValueKind kind) {
  switch (kind) {
    case ZKThemeValueKind::Color:
      return "colour";
    case ZKThemeValueKind::Font:
      return "font";
    case ZKThemeValueKind::Image:
      return "image";
  }
  return "value";
}

std::optional<double> unitComponent(const QJsonValue& value) {
  if (!value.isDouble()) return std::nullopt;
  const double d = value.toDouble();
  if (!(d >= 0.0 && d <= 1.0)) return std::nullopt;
  return d;
}

// A colour of the resource; an error text when it cannot be read.
std::optional<QColor> parseColor(const QJsonValue& value, std::string& error) {
  if (value.isString()) {
    const QString text = value.toString().trimmed();
    if (text == u"white") return QColor::fromRgbF(1, 1, 1, 1);
    if (text == u"black") return QColor::fromRgbF(0, 0, 0, 1);
    if (text == u"clear") return QColor::fromRgbF(0, 0, 0, 0);
    static const QRegularExpression hex(QStringLiteral("^#([0-9A-Fa-f]{6}|[0-9A-Fa-f]{8})$"));
    if (hex.match(text).hasMatch()) {
      const uint rgb = text.mid(1, 6).toUInt(nullptr, 16);
      const int alpha = text.size() == 9 ? text.mid(7, 2).toInt(nullptr, 16) : 255;
      return QColor(int((rgb >> 16) & 0xFF), int((rgb >> 8) & 0xFF), int(rgb & 0xFF), alpha);
    }
    error = "an unparsable colour";
    return std::nullopt;
  }
  if (!value.isObject()) {
    error = "no colour";
    return std::nullopt;
  }
  const QJsonObject object = value.toObject();
  std::optional<double> alpha = 1.0;
  if (object.contains(u"alpha")) alpha = unitComponent(object.value(u"alpha"));
  if (!alpha) {
    error = "an unparsable colour (alpha)";
    return std::nullopt;
  }
  if (object.contains(u"rgb")) {
    const QJsonArray rgb = object.value(u"rgb").toArray();
    if (rgb.size() == 3) {
      const auto r = unitComponent(rgb[0]), g = unitComponent(rgb[1]), b = unitComponent(rgb[2]);
      if (r && g && b) return QColor::fromRgbF(float(*r), float(*g), float(*b), float(*alpha));
    }
    error = "an unparsable colour";
    return std::nullopt;
  }
  if (object.contains(u"white")) {
    if (const auto w = unitComponent(object.value(u"white")))
      return QColor::fromRgbF(float(*w), float(*w), float(*w), float(*alpha));
    error = "an unparsable colour";
    return std::nullopt;
  }
  error = "no colour";
  return std::nullopt;
}

}  // namespace

ZKTheme::ZKTheme(QString className, std::vector<ZKThemeLayer> layers)
    : className_(std::move(className)), layers_(std::move(layers)) {
  for (const ZKThemeLayer& layer : layers_) load(layer);
  checkReferences();
}

ZKTheme::~ZKTheme() = default;

void ZKTheme::load(const ZKThemeLayer& layer) {
  // Declare the layer's own keys before reading values, so that a value may refer to a later key.
  for (const ZKThemeKeyDeclaration& declaration : layer.keys)
    kinds_.insert(QString::fromUtf8(declaration.key), declaration.kind);
  const std::string resource = layer.resourcePath.toStdString();
  const std::string theme = className_.toStdString();

  QFile file(layer.resourcePath);
  QJsonObject keys;
  bool readable = false;
  if (!file.open(QIODevice::ReadOnly)) {
    platform::log("Theme {}: cannot read the resource {}; its keys have no values of their own", theme,
                  resource);
  } else {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject() ||
        !document.object().value(u"keys").isObject()) {
      platform::log(
          "Theme {}: the resource {} is not a theme (a JSON object with \"keys\"); its keys have no values "
          "of "
          "their own",
          theme, resource);
    } else {
      keys = document.object().value(u"keys").toObject();
      readable = true;
    }
  }

  for (auto it = keys.constBegin(); it != keys.constEnd(); ++it) {
    const QString key = it.key();
    const auto kind = kinds_.constFind(key);
    if (kind == kinds_.constEnd()) {
      platform::log("Theme {}: key \"{}\" is not a key of the theme; ignored", theme, key.toStdString());
      continue;
    }
    const QJsonValue value = it.value();
    auto entry = std::make_shared<Entry>();
    entry->kind = *kind;
    std::string error;
    const QJsonObject object = value.toObject();
    if (value.isObject() && object.contains(u"ref")) {
      entry->ref = object.value(u"ref").toString();
      if (entry->ref.isEmpty()) error = "a reference to no key";
      if (object.contains(u"alpha")) {
        entry->alpha = unitComponent(object.value(u"alpha"));
        if (!entry->alpha) error = "an unparsable alpha";
        if (*kind != ZKThemeValueKind::Color) error = "an alpha on a value that is not a colour";
      }
    } else if (*kind == ZKThemeValueKind::Color) {
      if (auto color = parseColor(value, error)) entry->color = *color;
    } else if (*kind == ZKThemeValueKind::Font) {
      static const QHash<QString, FontWeight> weights{{QStringLiteral("regular"), FontWeight::Regular},
                                                      {QStringLiteral("medium"), FontWeight::Medium},
                                                      {QStringLiteral("semibold"), FontWeight::Semibold},
                                                      {QStringLiteral("bold"), FontWeight::Bold}};
      const auto weight = weights.constFind(object.value(u"weight").toString());
      const QJsonValue size = object.value(u"size");
      static const QRegularExpression baseSize(QStringLiteral("^base(?:([+-])(\\d+(?:\\.\\d+)?))?$"));
      if (!value.isObject() || weight == weights.constEnd()) {
        error = "no font (a weight of regular, medium, semibold or bold)";
      } else if (size.isDouble() && size.toDouble() > 0 && size.toDouble() < 1000) {
        entry->weight = *weight;
        entry->size = size.toDouble();
      } else if (const auto match = baseSize.match(size.toString()); size.isString() && match.hasMatch()) {
        entry->weight = *weight;
        entry->sizeOffset = match.captured(2).isEmpty() ? 0.0 : match.captured(2).toDouble();
        if (match.captured(1) == u"-") entry->sizeOffset = -entry->sizeOffset;
      } else {
        error = "an unreadable font size";
      }
    } else {
      entry->image = object.value(u"image").toString();
      if (!value.isObject() || entry->image.isEmpty()) error = "no image name";
    }

    if (!error.empty()) {
      auto& earlier = entries_[key];
      platform::log("Theme {}: key \"{}\" has {} ({}, a {} was expected); {}", theme, key.toStdString(),
                    error, describe(value), kindName(*kind),
                    earlier.empty() ? "it has no value" : "it keeps the inherited value");
      if (earlier.empty()) entries_.remove(key);
      continue;
    }
    entries_[key].push_back(std::move(entry));
  }

  // Keys of this layer that the resource does not give.
  for (const ZKThemeKeyDeclaration& declaration : layer.keys) {
    const QString key = QString::fromUtf8(declaration.key);
    if (!readable || keys.contains(key)) continue;
    platform::log("Theme {}: key \"{}\" is missing from {}; it has no value", theme, key.toStdString(),
                  resource);
  }
}

void ZKTheme::checkReferences() {
  // A value that refers to a key without a value of the same kind, or round to itself, falls back to
  // what it overrode; repeated (in declaration order) until every reference leads to a value.
  const QStringList keys = declaredKeys();
  bool changed = true;
  while (changed) {
    changed = false;
    for (const QString& key : keys) {
      const auto it = entries_.find(key);
      if (it == entries_.end()) continue;
      std::vector<QString> chain{key};
      const Entry* entry = it.value().back().get();
      const ZKThemeValueKind kind = entry->kind;
      std::string problem;
      while (!entry->ref.isEmpty() && problem.empty()) {
        const QString target = entry->ref;
        const auto found = entries_.constFind(target);
        if (std::find(chain.begin(), chain.end(), target) != chain.end()) {
          problem = "a reference that leads back to itself";
        } else if (!kinds_.contains(target) || kinds_.value(target) != kind) {
          problem =
              "a reference to \"" + target.toStdString() + "\", which is not a " + kindName(kind) + " key";
        } else if (found == entries_.constEnd()) {
          problem = "a reference to \"" + target.toStdString() + "\", which has no value";
        } else {
          chain.push_back(target);
          entry = found.value().back().get();
        }
      }
      if (problem.empty()) continue;
      auto& values = it.value();
      values.pop_back();
      platform::log("Theme {}: key \"{}\" has {}; {}", className_.toStdString(), key.toStdString(), problem,
                    values.empty() ? "it has no value" : "it keeps the inherited value");
      if (values.empty()) entries_.erase(it);
      changed = true;
    }
  }
}

bool ZKTheme::respondsToKey(const QString& key) const { return kinds_.contains(key); }

std::optional<ZKThemeValueKind> ZKTheme::kindOfKey(const QString& key) const {
  const auto found = kinds_.constFind(key);
  if (found == kinds_.constEnd()) return std::nullopt;
  return *found;
}

QStringList ZKTheme::declaredKeys() const {
  QStringList keys;
  for (const ZKThemeLayer& layer : layers_)
    for (const ZKThemeKeyDeclaration& declaration : layer.keys) {
      const QString key = QString::fromUtf8(declaration.key);
      if (!keys.contains(key)) keys.append(key);
    }
  return keys;
}

QVariant ZKTheme::valueForKey(const QString& key) const {
  if (respondsToKey(key)) return build(key, 0);
  return valueForUndefinedKey(key);
}

QVariant ZKTheme::valueForUndefinedKey(const QString& key) const {
  const QString camel = zk_camelCaseString(key);
  if (respondsToKey(camel)) {
    QVariant value = build(camel, 0);
    if (value.isValid()) return value;
  }
  platform::log("[DEBUG] {} could not find value for key: {}", className_.toStdString(), camel.toStdString());
  return QVariant();
}

std::optional<QFont> ZKTheme::fontWithWeight(FontWeight, double) const { return std::nullopt; }

QVariant ZKTheme::build(const QString& key, int depth) const {
  const auto found = entries_.constFind(key);
  if (found == entries_.constEnd() || depth > 32) return QVariant();
  const Entry& entry = *found.value().back();
  if (!entry.ref.isEmpty()) {
    QVariant value = build(entry.ref, depth + 1);
    if (entry.alpha && value.typeId() == QMetaType::QColor) {
      QColor color = value.value<QColor>();
      color.setAlphaF(float(*entry.alpha));
      return color;
    }
    return value;
  }
  switch (entry.kind) {
    case ZKThemeValueKind::Color:
      return entry.color;
    case ZKThemeValueKind::Font: {
      const auto font = fontWithWeight(entry.weight, entry.size.value_or(baseFontSize() + entry.sizeOffset));
      return font ? QVariant(*font) : QVariant();
    }
    case ZKThemeValueKind::Image: {
      QImage image = zk_imageNamed(entry.image);
      if (image.isNull()) image.load(QStringLiteral(":/themes/images/%1.png").arg(entry.image));
      return image.isNull() ? QVariant() : QVariant(image);
    }
  }
  return QVariant();
}

// ---- the registry of theme classes and their shared instances ----

namespace {

struct Registry {
  Registry() {
    factories.insert(QStringLiteral("DDLightTheme"), [] { return std::make_unique<DDLightTheme>(); });
    factories.insert(QStringLiteral("DDDarkTheme"), [] { return std::make_unique<DDDarkTheme>(); });
  }
  std::mutex mutex;
  QHash<QString, ZKTheme::Factory> factories;
  QHash<QString, ZKTheme*> instances;  // kept for the process
};

Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

}  // namespace

void ZKTheme::registerThemeClass(const QString& className, Factory factory) {
  std::lock_guard lock(registry().mutex);
  registry().factories.insert(className, std::move(factory));
}

bool ZKTheme::themeClassExists(const QString& className) {
  std::lock_guard lock(registry().mutex);
  return registry().factories.contains(className);
}

ZKTheme* ZKTheme::sharedTheme(const QString& className) {
  Factory factory;
  {
    std::lock_guard lock(registry().mutex);
    if (ZKTheme* theme = registry().instances.value(className)) return theme;
    factory = registry().factories.value(className);
  }
  if (!factory) return nullptr;
  // Made outside the lock (a theme's set-up may ask for other themes); the first one stored wins.
  std::unique_ptr<ZKTheme> made = factory();
  std::lock_guard lock(registry().mutex);
  ZKTheme*& slot = registry().instances[className];
  if (!slot) slot = made.release();
  return slot;
}
