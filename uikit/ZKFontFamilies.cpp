#include "uikit/ZKFontFamilies.h"

#include <QtCore/QHash>
#include <QtCore/QStringList>
#include <QtGui/QFontDatabase>
#include <algorithm>
#include <array>

namespace {

struct FamilyMapping {
  // The family as the design names it, and the other spellings of it.
  QStringList designNames;
  // Installed families that look closest, best first.
  QStringList nearest;
};

// The one table of stand-ins for the design's families that Linux does not ship.
const std::array<FamilyMapping, 5>& familyTable() {
  static const std::array<FamilyMapping, 5> table{{
      {{"SFProText", "SF Pro Text", "SF Pro", ".SF NS Text", "San Francisco"},
       {"SF Pro Text", "Inter", "Cantarell", "Noto Sans", "DejaVu Sans", "Nimbus Sans"}},
      {{"SFProDisplay", "SF Pro Display"},
       {"SF Pro Display", "Inter Display", "Inter", "Noto Sans", "DejaVu Sans"}},
      {{"Apple Color Emoji", "AppleColorEmoji"}, {"Noto Color Emoji", "Twemoji", "Symbola"}},
      {{"Helvetica Neue", "Helvetica", "HelveticaNeue"}, {"Nimbus Sans", "Inter", "DejaVu Sans"}},
      {{"Menlo", "Monaco", "SF Mono", "SFMono"}, {"DejaVu Sans Mono", "Noto Sans Mono", "Nimbus Mono PS"}},
  }};
  return table;
}

QHash<QString, QString>& answers() {
  static QHash<QString, QString> cache;
  return cache;
}

bool isInstalled(const QStringList& families, const QString& family) {
  return std::any_of(families.begin(), families.end(),
                     [&](const QString& f) { return f.compare(family, Qt::CaseInsensitive) == 0; });
}

}  // namespace

QString zk_installedFontFamily(const QString& designFamily) {
  if (auto found = answers().constFind(designFamily); found != answers().constEnd()) return *found;
  const QStringList families = QFontDatabase::families();
  QString answer;
  if (isInstalled(families, designFamily)) {
    answer = designFamily;
  } else {
    for (const FamilyMapping& mapping : familyTable()) {
      if (!isInstalled(mapping.designNames, designFamily)) continue;
      for (const QString& candidate : mapping.nearest) {
        if (isInstalled(families, candidate)) {
          answer = candidate;
          break;
        }
      }
      break;
    }
  }
  answers().insert(designFamily, answer);
  return answer;
}

void zk_resetInstalledFontFamilies() { answers().clear(); }
