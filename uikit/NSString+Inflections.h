#pragma once

#include <QtCore/QString>

// The camel-case form of a key written with "-" or "_" between its words: the first component as it
// stands, every later one capitalised (first letter of each word upper case, the rest lower case).
// A string without a separator comes back unchanged; empty components add nothing.
QString zk_camelCaseString(const QString& string);
