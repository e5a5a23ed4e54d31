#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DwLink/DwEbml.h"
#include "support/EbmlTestUtil.h"
#include "support/Check.h"

namespace {

using ebmltest::bytes;
using ebmltest::hex;

template <class Write>
std::string encode(Write write, int capacity = 128) {
  DwEbmlBuffer buffer(capacity);
  DwEbmlWriter writer(buffer, 0);
  write(writer);
  return hex(writer.getBlob());
}

// Numbers in every width, identifiers, empty texts, two-byte sizes and
// containers' reserved sizes are pinned in the records' encodings
// (BlrDBRecords.EncodingsAreExact).
TEST(DwEbmlWriter, EncodingsAreByteExact) {
  using W = DwEbmlWriter&;
  const struct {
    std::function<void(DwEbmlWriter&)> write;
    std::string bytes;
  } cases[] = {
      // Tag ids take the shortest form of one to four bytes.
      {[](W w) { w.writeNumTag(127, 0); }, "FF 81 00"},
      {[](W w) { w.writeNumTag(128, 0); }, "40 80 81 00"},
      {[](W w) { w.writeNumTag(16383, 0); }, "7F FF 81 00"},
      {[](W w) { w.writeNumTag(16384, 0); }, "20 40 00 81 00"},
      {[](W w) { w.writeNumTag(0x0FFFFFFF, 0); }, "1F FF FF FF 81 00"},
      // Texts end at their first NUL.
      {[](W w) { w.writeStrTag(20, std::string("a\0b", 3)); }, "94 82 61 00"},
  };
  for (const auto& c : cases) EXPECT_EQ(encode(c.write), c.bytes);
  // Tags beyond four bytes throw instead of corrupting.
  DwEbmlBuffer buffer(128);
  DwEbmlWriter writer(buffer, 0);
  EXPECT_THROW(writer.writeNumTag(0x10000000, 1), std::length_error);
  EXPECT_THROW(writer.writeNumTag(-1, 1), std::length_error);
  EXPECT_EQ(writer.getSize(), 0);
}

TEST(DwEbmlWriter, BlobsCountFromTheStartOffset) {
  DwEbmlBuffer buffer(16);
  std::memset(buffer.data, 0xEE, 8);
  DwEbmlWriter writer(buffer, 8);
  EXPECT_TRUE(writer.getBlob().empty());
  writer.writeNumTag(1, 1);
  writer.writeStrTag(2, "abc");
  EXPECT_EQ(writer.getSize(), 9);
  EXPECT_EQ(hex(writer.getBlob()), "81 81 01 82 84 61 62 63 00");
  EXPECT_EQ(static_cast<unsigned char>(writer.getBuffer()[0]), 0xEE);  // header kept
}

TEST(DwEbmlContainer, ContentBeyondTheBoundWidensTheSizeField) {
  const std::string text(20000, 'q');
  for (int bound : {0, 10, 127, 16383}) {
    DwEbmlBuffer buffer(32);
    DwEbmlWriter writer(buffer, 0);
    writer.openContTag(5, bound);
    writer.openContTag(6, bound);
    writer.writeStrTag(8, text);
    writer.closeContTag();
    writer.writeNumTag(7, 7);
    writer.closeContTag();
    writer.writeNumTag(3, 3);

    DwEbmlBinary outer{nullptr, 0}, inner{nullptr, 0};
    int32_t seven = 0, three = 0;
    const char* read = nullptr;
    DwEbmlParser top(buffer.data, writer.getSize());
    ASSERT_OK(top.parseMsg(5, DW_EBML_VAR_BINARY, &outer, 3, DW_EBML_VAR_INT32, &three, 0));
    DwEbmlParser middle(outer.data, outer.size);
    ASSERT_OK(middle.parseMsg(6, DW_EBML_VAR_BINARY, &inner, 7, DW_EBML_VAR_INT32, &seven, 0));
    DwEbmlParser bottom(inner.data, inner.size);
    ASSERT_OK(bottom.parseMsg(8, DW_EBML_VAR_STR, &read, 0));
    EXPECT_EQ(read, text) << bound;
    EXPECT_EQ(seven * three, 21);
  }
}

// Long forms are read in every control message (two-byte tags) and record
// list (three-byte sizes).
TEST(DwEbmlParser, HeadersFailWith100AtTheEndAnd101WhenCorrupt) {
  int tag = -7, size = -7;
  for (const char* data : {"", "0F 81 00", "81", "40", "81 40", "20 01", "81 82 00", "10 00 00 01 81"}) {
    const std::vector<uint8_t> bad = bytes(data);
    DwEbmlParser parser(bad.data(), bad.size());
    EXPECT_EQ(FXErrorUtil::GetInt(parser.getNextTag(&tag, &size)), data[0] == '0' ? 101 : 100) << data;
    EXPECT_LE(parser.getPos(), bad.data() + bad.size());
  }
  EXPECT_EQ(tag, -7);  // nothing stored on failure
  EXPECT_EQ(size, -7);
}

TEST(DwEbmlParser, BadPayloadsFailWithoutLeavingThePayload) {
  const std::vector<uint8_t> data = bytes("01 02 03 04 05 06 07 08 09 61 62");
  int32_t value = 42;
  for (int size : {0, 9, -1}) {
    DwEbmlParser parser(data.data(), data.size());
    CZuError err = parser.getNumPayload(size, &value);
    EXPECT_EQ(FXErrorUtil::GetInt(err), 101);
    EXPECT_NE(err.Summary().find(std::to_string(size)), std::string::npos) << err.Summary();
    EXPECT_EQ(parser.getPos(), data.data() + (size > 0 ? 1 : 0));
  }
  EXPECT_EQ(value, 42);
  // Numbers are zero-extended: one 0xFF byte is 255; any bit set is true.
  const std::vector<uint8_t> ff = bytes("FF");
  bool flag = false;
  ASSERT_OK(DwEbmlParser(ff.data(), 1).getNumPayload(1, &value));
  ASSERT_OK(DwEbmlParser(ff.data(), 1).getNumPayload(1, &flag));
  EXPECT_EQ(value, 255);
  EXPECT_TRUE(flag);

  std::string text = "kept";
  const std::vector<uint8_t> twoTexts = bytes("61 00 62 00");
  ASSERT_OK(DwEbmlParser(twoTexts.data(), 4).getStrPayload(4, &text));
  EXPECT_EQ(text, "a");  // up to the first NUL
  text = "kept";
  DwEbmlParser noNul(data.data() + 9, 2);
  EXPECT_EQ(FXErrorUtil::GetInt(noNul.getStrPayload(2, &text)), 101);
  EXPECT_EQ(text, "kept");

  // Sizes beyond the data are refused by every reader.
  DwEbmlParser past(data.data(), 4);
  EXPECT_EQ(FXErrorUtil::GetInt(past.getNumPayload(5, &value)), 100);
  EXPECT_EQ(FXErrorUtil::GetInt(past.getStrPayload(5, &text)), 100);
  past.skipPayload(100);
  EXPECT_EQ(past.getPos(), data.data() + 4);
}

// The readers' failures (DwEbmlParser tests) come through; texts are
// checked for their use in place.
TEST(DwEbmlParseMsg, MalformedDataFails) {
  const std::vector<uint8_t> data = bytes("82 82 61 62");  // text without NUL: can't be used in place
  int32_t number = 0;
  const char* text = nullptr;
  uint8_t uuid[16];
  DwEbmlParser noNul(data.data(), data.size());
  CZuError err = noNul.parseMsg(1, DW_EBML_VAR_INT32, &number, 2, DW_EBML_VAR_STR, &text, 3,
                                DW_EBML_VAR_UUID, uuid, 0);
  EXPECT_EQ(FXErrorUtil::GetInt(err), 101);
  EXPECT_EQ(text, nullptr);

  DwEbmlParser parser(nullptr, 0);
  EXPECT_EQ(FXErrorUtil::GetInt(parser.parseMsg(1, static_cast<DW_EBML_VAR_TYPE>(3), &number, 0)),
            1);
  EXPECT_OK(parser.parseMsg(1, DW_EBML_VAR_INT32, &number, 0));  // empty data
}

// Resuming after each payload, ending quietly at a truncated element and
// stopping at a failure: BlrDBRecords.DecodingFixedBytes.
TEST(DwEbmlElementLoop, ANegativeLengthReadsNothing) {
  const std::vector<uint8_t> data = bytes("81 81 07");
  int calls = 0;
  dwEbmlForEachElement(data.data(), -5, [&](DwEbmlParser&, int, int) { return ++calls, CZuError(); });
  EXPECT_EQ(calls, 0);
}

}  // namespace
