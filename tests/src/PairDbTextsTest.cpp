// Every stored text at and past its width and hostile bytes, through the
// service on both backends.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "BLR/BlrDBTexts.h"
#include "support/PairDbTestEnv.h"

namespace {

using ::testing::HasSubstr;
using PairDbTextsTest = PairDbTest;

// Tags of the flat property requests.
const int kTagPairId = 2, kTagPropName = 20, kTagPropValue = 21;

// `n` units of text: characters of two bytes each for a wide column, so a
// count of bytes would be wrong; plain bytes otherwise.
std::string textOf(int n, BlrTextUnit unit) {
  std::string text;
  for (int i = 0; i < n; ++i) text += unit == BlrTextUnit::kChars ? "\xC3\xA9" : "b";
  return text;
}

const std::string kHostile = std::string("O'Brien\"s; DROP TABLE BlrPair; -- \\ \x01\x1b[2J\r\n\t\x7f") +
                             "\xff\xfe\xc3 \xed\xa0\x80 end";

// One stored text: how a request sets it (the encoded body of `request`,
// sent as is so that only the service judges it) and how it reads back.
struct Field {
  const char* name;
  int width;
  BlrTextUnit unit;
  const char* request;
  std::function<void(const std::string&, DwEbmlWriter&)> encode;
  std::function<std::string()> read;
};

// A status request of the record with `id`: the id and the message alone.
template <class Record>
std::function<void(const std::string&, DwEbmlWriter&)> status(int id) {
  return [id](const std::string& text, DwEbmlWriter& w) {
    Record r;
    r.id = id;
    r.statusMessage = text;
    r.serialize(w);
  };
}

TEST_P(PairDbTextsTest, EveryTextKeepsItsWidthRefusesMoreAndKeepsHostileBytes) {
  BlrDB::Pair base = store(3, 1, 1);
  const int pairId = base.id, diskId = base.disks.front().id;
  auto pair = [&] { return read(pairId); };
  auto lastBootVm = [&] {
    std::list<BlrDB::BootVM> vms;
    EXPECT_OK(db_.getBootVMsForPair(pairId, &vms));
    return vms.empty() ? BlrDB::BootVM() : vms.back();
  };
  using Encode = std::function<void(const std::string&, DwEbmlWriter&)>;
  using Text = const std::string&;
  const auto chars = BlrTextUnit::kChars, bytes = BlrTextUnit::kBytes;
  // A pair text goes out as the same pair (same key), updated in place; a
  // boot VM text as a new boot VM.  `at` picks the text in the record.
  auto pairText = [&](const char* name, int width, std::string& (*at)(BlrDB::Pair&)) {
    Encode encode = [at](Text t, DwEbmlWriter& w) {
      BlrDB::Pair p = newPair(3, 1, 1);
      at(p) = t;
      p.serialize(w);
    };
    return Field{name, width, chars, "create_or_update_pair", encode, [&, at] {
                   BlrDB::Pair p = pair();
                   return at(p);
                 }};
  };
  auto bootText = [&](const char* name, int width, BlrTextUnit unit,
                      std::string& (*at)(BlrDB::BootVM&)) {
    Encode encode = [at, pairId](Text t, DwEbmlWriter& w) {
      BlrDB::BootVM vm = newBootVM(pairId, 1);
      at(vm) = t;
      vm.serialize(w);
    };
    return Field{name, width, unit, "create_or_update_boot_vm", encode, [&, at] {
                   BlrDB::BootVM vm = lastBootVm();
                   return at(vm);
                 }};
  };
  auto asProp = [pairId](bool asName) -> Encode {
    return [pairId, asName](Text t, DwEbmlWriter& w) {
      w.writeNumTag(kTagPairId, pairId);
      w.writeStrTag(kTagPropName, asName ? t : "p");
      w.writeStrTag(kTagPropValue, asName ? "named" : t);
    };
  };
  using P = BlrDB::Pair;
  using VM = BlrDB::BootVM;
  const std::vector<Field> fields = {
      pairText("srcName", 128, [](P& p) -> std::string& { return p.srcName; }),
      pairText("dstName", 128, [](P& p) -> std::string& { return p.dstName; }),
      pairText("disks[0].srcPath", 1024,
               [](P& p) -> std::string& { return p.disks.front().srcPath; }),
      pairText("disks[0].dstPath", 1024,
               [](P& p) -> std::string& { return p.disks.front().dstPath; }),
      {"statusMessage", 256, bytes, "set_pair_status", status<BlrDB::Pair>(pairId),
       [&] { return pair().statusMessage; }},
      {"statusMessage", 256, bytes, "set_disk_status", status<BlrDB::Disk>(diskId),
       [&] { return pair().disks.front().statusMessage; }},
      {"propertyName", 128, bytes, "set_pair_prop", asProp(true),
       [&] {  // the longest name set here
         std::map<std::string, std::string> props;
         EXPECT_OK(db_.getPairProps(pairId, &props));
         std::string longest;
         for (const auto& kv : props)
           if (kv.second == "named" && kv.first.size() > longest.size()) longest = kv.first;
         return longest;
       }},
      {"propertyValue", 1024, chars, "set_pair_prop", asProp(false),
       [&] {
         std::string value;
         EXPECT_OK(db_.getPairProp(pairId, "p", &value));
         return value;
       }},
      bootText("name", 128, chars, [](VM& vm) -> std::string& { return vm.name; }),
      bootText("statusMessage", 1024, bytes,
               [](VM& vm) -> std::string& { return vm.statusMessage; }),
      bootText("disks[0].path", 1024, chars,
               [](VM& vm) -> std::string& { return vm.disks.front().path; }),
      bootText("disks[0].snapId", 64, bytes,
               [](VM& vm) -> std::string& { return vm.disks.front().snapId; }),
  };
  auto send = [&](const Field& f, const std::string& text) {
    DwEbmlBuffer buffer(4096);
    DwEbmlWriter writer(buffer, 0);
    f.encode(text, writer);
    return db_.makeReq(f.request, writer, nullptr);
  };
  auto rows = [&] {
    return count("BlrPair") + count("BlrDisk") + count("BlrPairProperties") +
           count("BlrBootVM") + count("BlrBootDisk");
  };
  for (const Field& f : fields) {
    SCOPED_TRACE(std::string(f.request) + " " + f.name);
    for (const std::string& text : {kHostile, textOf(f.width, f.unit)}) {
      ASSERT_OK(send(f, text));
      EXPECT_EQ(f.read(), text);
    }
    const long long before = rows();
    CZuError err = send(f, textOf(f.width + 1, f.unit));
    EXPECT_THAT(err.Summary(), HasSubstr(std::string(f.name) + " is " +
                                         std::to_string(f.width + 1)));
    EXPECT_THAT(err.Summary(), HasSubstr("at most " + std::to_string(f.width) + " are stored"));
    EXPECT_EQ(f.read(), textOf(f.width, f.unit));
    EXPECT_EQ(rows(), before);
  }
}

// The client refuses before sending, with the same message.
TEST_P(PairDbTextsTest, ClientRefusesLongTextsBeforeSending) {
  BlrDB::Pair p = newPair(3, 1, 1);
  p.srcName = std::string(129, 'n');
  svc_.reset();  // nothing would answer
  EXPECT_THAT(db_.createOrUpdatePair(p).Summary(),
              HasSubstr("srcName is 129 characters long; at most 128 are stored"));
  EXPECT_THAT(db_.setPairStatus(1, 4, std::string("a\0b", 3), 0).Summary(),
              HasSubstr("statusMessage holds a NUL byte at offset 1"));
}

BLR_SQL_BACKENDS(PairDbTextsTest);

}  // namespace
