#pragma once

#include <string>

// Search matching of the editing windows: text compared ignoring case and diacritics ("Météo" is found
// by "meteo", "STRASSE" by "straße"). Folding is Unicode full case folding after removing the
// combining marks of the canonical decomposition; invalid UTF-8 is folded as replacement characters.
std::string QVFoldForSearch(const std::string& text);
// Whether `text` contains `needle` once both are folded; an empty needle is contained everywhere.
bool QVFoldedContains(const std::string& text, const std::string& needle);
// Whether both are equal once folded.
bool QVFoldedEquals(const std::string& left, const std::string& right);
