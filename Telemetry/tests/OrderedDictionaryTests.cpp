#include <gtest/gtest.h>

#include "Telemetry/Internals/Model/TLOrderedDictionary.h"

namespace {

TEST(OrderedDictionary, KeepsFirstInsertionOrder) {
  TLOrderedDictionary dictionary(4);
  for (const char* key : {"ver", "name", "time", "iKey"}) dictionary.setObject(key, key);
  EXPECT_EQ(dictionary.toJson().dump(), R"({"ver":"ver","name":"name","time":"time","iKey":"iKey"})");
  dictionary.setObject(5, "name");
  EXPECT_EQ(dictionary.keyEnumerator(), (std::vector<std::string>{"ver", "name", "time", "iKey"}));
  EXPECT_EQ(*dictionary.objectForKey("name"), 5);
  EXPECT_EQ(dictionary.objectForKey("missing"), nullptr);
  EXPECT_EQ(dictionary.count(), 4u);
}

TEST(OrderedDictionary, EqualityNeedsSameOrder) {
  TLOrderedDictionary a, b, c;
  a.setObject(1, "x");
  a.setObject(2, "y");
  b.setObject(1, "x");
  b.setObject(2, "y");
  c.setObject(2, "y");
  c.setObject(1, "x");
  EXPECT_TRUE(a.isEqualToDictionary(b));
  EXPECT_FALSE(a.isEqualToDictionary(c));
}

TEST(OrderedDictionary, ClearAndCopy) {
  TLOrderedDictionary a;
  a.setObject(1, "x");
  auto copy = a.mutableCopy();
  copy.setObject(2, "y");
  EXPECT_EQ(a.count(), 1u);
  EXPECT_EQ(a.keyEnumerator().size(), 1u);
  a.removeAllObjects();
  EXPECT_EQ(a.count(), 0u);
  EXPECT_TRUE(a.keyEnumerator().empty());
  a.setObject(3, "z");
  a.setObject(4, "x");
  EXPECT_EQ(a.toJson().dump(), R"({"z":3,"x":4})");
  // Nested ordered dictionaries keep their own order.
  TLOrderedDictionary outer;
  outer.setObject(a.toJson(), "data");
  EXPECT_EQ(outer.toJson().dump(), R"({"data":{"z":3,"x":4}})");
}

}  // namespace
