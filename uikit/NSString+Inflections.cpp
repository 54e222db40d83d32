#include "uikit/NSString+Inflections.h"

namespace {

// First letter of each word upper case, every other letter lower case; words are separated by white
// space.
QString capitalized(const QString& component) {
  QString result;
  result.reserve(component.size());
  bool wordStart = true;
  for (const QChar c : component) {
    if (c.isSpace()) {
      wordStart = true;
      result.append(c);
      continue;
    }
    result.append(wordStart ? c.toUpper() : c.toLower());
    wordStart = false;
  }
  return result;
}

bool isSeparator(QChar c) { return c == u'-' || c == u'_'; }

}  // namespace

QString zk_camelCaseString(const QString& string) {
  if (std::none_of(string.begin(), string.end(), isSeparator)) return string;
  QString result;
  result.reserve(string.size());
  QString component;
  bool first = true;
  auto flush = [&] {
    result.append(first ? component : capitalized(component));
    first = false;
    component.clear();
  };
  for (const QChar c : string) {
    if (isSeparator(c)) {
      flush();
    } else {
      component.append(c);
    }
  }
  flush();
  return result;
}
