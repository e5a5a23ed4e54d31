#include <string>
#include <vector>

#include "BLR/BlrMonConfig.h"
#include "support/BlrLogFixture.h"
#include "support/EbmlTestUtil.h"
#include "support/Check.h"

namespace {

using ebmltest::bytes;
using ebmltest::encode;
using ebmltest::hex;

BlrMonConfig::Disk makeDisk(const std::string& path, uint16_t id, unsigned char seed) {
  BlrMonConfig::Disk disk;
  disk.path = path;
  disk.id = id;
  unsigned char raw[16];
  for (int i = 0; i < 16; ++i) raw[i] = static_cast<unsigned char>(seed + i);
  disk.uuid = BlrUUID(raw);
  return disk;
}

TEST(BlrMonConfig, DisksFirstThenScalarsWithTwoByteTags) {
  BlrMonConfig config;
  config.throttleWrites = true;
  config.journalCompression = 3;
  config.maxDrvQueueSize = 64;
  EXPECT_EQ(hex(encode(config)),
            "84 90 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
            "E6 81 40 40 89 81 01 40 90 81 00 40 A5 81 03");
  config.disks.push_back(makeDisk("/dev/sda", 0xABCD, 1));
  EXPECT_EQ(hex(encode(config)).substr(0, 3), "85 ");  // disks come first
}

// Absent scalars keep their values but disks are replaced; a disk that
// fails ends the list.
TEST(BlrMonConfig, Decoding) {
  BlrMonConfig config;
  config.throttleWrites = true;
  config.disks.push_back(makeDisk("old", 1, 0));
  const std::vector<uint8_t> onlyQueue = bytes("E6 81 20");
  ASSERT_OK(config.unserialize(onlyQueue.data(), 3));
  EXPECT_TRUE(config.throttleWrites);
  EXPECT_EQ(config.maxDrvQueueSize, 32);
  EXPECT_TRUE(config.disks.empty());

  // A disk without a path element, then a disk whose identifier is 2 bytes.
  const std::vector<uint8_t> blob = bytes("85 86 87 84 00 01 AB CD 85 84 86 82 00 01");
  CZuError err = config.unserialize(blob.data(), static_cast<int>(blob.size()));
  EXPECT_EQ(FXErrorUtil::GetInt(err), 1);
  ASSERT_EQ(config.disks.size(), 1u);
  EXPECT_EQ(config.disks.front().path, "");
  EXPECT_EQ(config.disks.front().id, 0xABCD);  // low 16 bits
  EXPECT_TRUE(config.disks.front().uuid.empty());
}

using BlrMonConfigLog = BlrLogFixture;

TEST_F(BlrMonConfigLog, LogLinesNameEveryField) {
  BlrMonConfig config;
  config.disks.push_back(makeDisk("d2", 10, 0));
  config.configUuid = config.disks.back().uuid;
  recorder_.clear();
  config.log();
  EXPECT_EQ(recorder_.messages(),
            (std::vector<std::string>{
                "Config UUID: 000102030405060708090a0b0c0d0e0f", "Throttle Writes: NO",
                "Enable Crosschecks: NO", "Journal Compression: 0", "Max Drv Queue Size: 0",
                "Disk d2", "   Path: d2",
                "   UUID: 000102030405060708090a0b0c0d0e0f (00010203-0405-0607-0809-0A0B0C0D0E0F)",
                "   ID: 0x000a"}));
}

}  // namespace
