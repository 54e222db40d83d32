#include "windows/QVSearchFolding.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

std::string QVFoldForSearch(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* decompose = icu::Normalizer2::getNFDInstance(status);
  const icu::Normalizer2* compose = icu::Normalizer2::getNFCInstance(status);
  icu::UnicodeString source = icu::UnicodeString::fromUTF8(text);
  if (U_FAILURE(status)) {
    source.foldCase();
    std::string folded;
    return source.toUTF8String(folded);
  }
  icu::UnicodeString decomposed = decompose->normalize(source, status);
  icu::UnicodeString bare;
  for (int32_t i = 0; i < decomposed.length();) {
    const UChar32 c = decomposed.char32At(i);
    if (u_charType(c) != U_NON_SPACING_MARK) bare.append(c);
    i += U16_LENGTH(c);
  }
  bare.foldCase();
  icu::UnicodeString result = compose->normalize(bare, status);
  std::string folded;
  return (U_FAILURE(status) ? bare : result).toUTF8String(folded);
}

bool QVFoldedContains(const std::string& text, const std::string& needle) {
  if (needle.empty()) return true;
  return QVFoldForSearch(text).find(QVFoldForSearch(needle)) != std::string::npos;
}

bool QVFoldedEquals(const std::string& left, const std::string& right) {
  return QVFoldForSearch(left) == QVFoldForSearch(right);
}
