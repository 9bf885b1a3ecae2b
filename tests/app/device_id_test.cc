#include "app/device_id.h"

#include <windows.h>

#include <iphlpapi.h>
#include <winsock2.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

class FakeSource : public DeviceIdSource {
 public:
  bool AdapterAddresses(std::vector<std::vector<uint8_t>>& out) override {
    ++adapter_calls;
    if (!listable) return false;
    out = adapters;
    return true;
  }
  std::string ComputerName() override {
    ++name_calls;
    return name;
  }
  CpuIdRegisters CpuId() override { return cpu; }

  bool listable = true;
  std::vector<std::vector<uint8_t>> adapters;
  std::string name = "DESKTOP-TEST";
  CpuIdRegisters cpu;
  std::atomic<int> adapter_calls{0};
  std::atomic<int> name_calls{0};
};

// "GenuineIntel" with the highest leaf 0x16, as a real processor reports it.
CpuIdRegisters IntelLeaf0() {
  CpuIdRegisters r;
  r.eax = 0x00000016;
  r.ebx = 0x756E6547;  // "Genu"
  r.edx = 0x49656E69;  // "ineI"
  r.ecx = 0x6C65746E;  // "ntel"
  return r;
}

// The processor sum worked out another way: the sixteen register bytes read
// as eight little-endian 16-bit numbers.
uint32_t ExpectedProcessorSum(const CpuIdRegisters& r) {
  uint32_t words[4] = {r.eax, r.ebx, r.ecx, r.edx};
  uint16_t halves[8];
  std::memcpy(halves, words, sizeof(halves));
  uint32_t sum = 0;
  for (uint16_t h : halves) sum += h;
  return sum;
}

TEST(DeviceIdTest, ProcessorSumAddsTheEightHalves) {
  CpuIdRegisters intel = IntelLeaf0();
  // 0x16 + 0x756E + 0x6547 + 0x4965 + 0x6E69 + 0x6C65 + 0x746E: worked out by hand.
  EXPECT_EQ(0x16u + 0x756Eu + 0x6547u + 0x4965u + 0x6E69u + 0x6C65u + 0x746Eu, ProcessorSum(intel));
  EXPECT_EQ(ExpectedProcessorSum(intel), ProcessorSum(intel));
  CpuIdRegisters all_ones;
  all_ones.eax = all_ones.ebx = all_ones.ecx = all_ones.edx = 0xFFFFFFFFu;
  EXPECT_EQ(8u * 0xFFFFu, ProcessorSum(all_ones));
  EXPECT_EQ(0u, ProcessorSum(CpuIdRegisters()));
}

TEST(DeviceIdTest, AdapterAddressSumTakesBytesInPairs) {
  struct Case {
    std::vector<uint8_t> address;
    uint16_t sum;
  };
  const std::vector<Case> cases = {
      {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, 0x9966},  // 0x1100 + 0x3322 + 0x5544
      {{}, 0},
      {{0x7B}, 0x7B},
      {{0x01, 0x02, 0x03}, 0x0201 + 0x03},
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFE},  // 0x1FFFE modulo 65536
      {{1, 0, 0, 0, 0, 0, 0, 0}, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.sum, AdapterAddressSum(c.address.data(), c.address.size()));
  }
  EXPECT_EQ(0, AdapterAddressSum(nullptr, 6));
}

TEST(DeviceIdTest, AdapterRecordLengthIsBoundedByItsAddressField) {
  IP_ADAPTER_INFO adapter = {};
  const uint8_t mac[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  std::memcpy(adapter.Address, mac, sizeof(mac));
  adapter.AddressLength = 6;
  EXPECT_EQ(39270, AdapterAddressSum(adapter));
  // A record claiming more bytes than its field holds is read to the field's end.
  for (size_t i = 0; i < sizeof(adapter.Address); ++i) adapter.Address[i] = 1;
  adapter.AddressLength = 200;
  EXPECT_EQ(4 * 0x0101, AdapterAddressSum(adapter));
  adapter.AddressLength = 0;
  EXPECT_EQ(0, AdapterAddressSum(adapter));
}

TEST(DeviceIdTest, BuildsNameProcessorSumAndAdapterChecksum) {
  const std::string cpu = std::to_string(ExpectedProcessorSum(IntelLeaf0()));
  struct Case {
    const char* what;
    bool listable;
    std::vector<std::vector<uint8_t>> adapters;
    std::string name;
    std::string id;
  };
  const std::vector<Case> cases = {
      {"adapters cannot be listed", false, {}, "PC", "PC" + cpu},
      {"no adapter", true, {}, "PC", "PC" + cpu},
      {"one adapter", true, {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}}, "PC", "PC" + cpu + "39270"},
      // Sums 5 and 3: the smaller goes high, 3 * 65536 + 5.
      {"two adapters", true, {{5, 0}, {3, 0}}, "PC", "PC" + cpu + "196613"},
      {"two adapters, other order", true, {{3, 0}, {5, 0}}, "PC", "PC" + cpu + "196613"},
      {"equal sums", true, {{4}, {4}}, "PC", "PC" + cpu + std::to_string(4 * 65536 + 4)},
      {"three adapters, the third ignored",
       true,
       {{5, 0}, {3, 0}, {9, 9, 9}},
       "PC",
       "PC" + cpu + "196613"},
      {"empty addresses", true, {{}, {}}, "PC", "PC" + cpu + "0"},
      {"unknown name", true, {{7}}, "", cpu + "7"},
      {"long name cut to 259 characters", false, {}, std::string(300, 'N'), std::string(259, 'N')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSource source;
    source.listable = c.listable;
    source.adapters = c.adapters;
    source.name = c.name;
    source.cpu = IntelLeaf0();
    EXPECT_EQ(c.id, BuildDeviceId(source));
    // The same inputs always give the same id.
    EXPECT_EQ(c.id, BuildDeviceId(source));
  }
}

TEST(DeviceIdTest, AdaptersChecksumReportsFailureWithoutAValue) {
  FakeSource source;
  source.listable = false;
  uint32_t value = 77;
  EXPECT_FALSE(AdaptersChecksum(source, value));
  EXPECT_EQ(77u, value);
  source.listable = true;
  EXPECT_FALSE(AdaptersChecksum(source, value));
  EXPECT_EQ(77u, value);
  source.adapters = {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x10}};
  EXPECT_TRUE(AdaptersChecksum(source, value));
  EXPECT_EQ((0x10u << 16) | 0x9966u, value);
}

TEST(DeviceIdTest, GetDeviceIdIsBuiltOnceAndKept) {
  FakeSource source;
  source.cpu = IntelLeaf0();
  source.adapters = {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
  ScopedDeviceIdSourceForTesting seam(&source);
  const std::string expected =
      "DESKTOP-TEST" + std::to_string(ExpectedProcessorSum(source.cpu)) + "39270";
  EXPECT_EQ(expected, GetDeviceId());
  // The adapters change: the process keeps its id.
  source.adapters = {{5, 0}, {3, 0}};
  source.name = "RENAMED";
  EXPECT_EQ(expected, GetDeviceId());
  EXPECT_EQ(1, source.adapter_calls.load());
  EXPECT_EQ(1, source.name_calls.load());
  // The short form of the checksum asks the current source.
  uint32_t value = 0;
  EXPECT_TRUE(AdaptersChecksum(value));
  EXPECT_EQ(196613u, value);
}

TEST(DeviceIdTest, ConcurrentFirstCallsAgree) {
  FakeSource source;
  source.cpu = IntelLeaf0();
  source.adapters = {{1, 2, 3, 4, 5, 6}};
  ScopedDeviceIdSourceForTesting seam(&source);
  std::vector<std::string> ids(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < ids.size(); ++i) {
    threads.emplace_back([&ids, i]() { ids[i] = GetDeviceId(); });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& id : ids) EXPECT_EQ(ids[0], id);
  EXPECT_EQ(1, source.adapter_calls.load());
}

TEST(DeviceIdTest, SwappingTheSourceForgetsTheKeptId) {
  FakeSource first;
  first.name = "FIRST";
  FakeSource second;
  second.name = "SECOND";
  {
    ScopedDeviceIdSourceForTesting seam(&first);
    EXPECT_EQ(0u, GetDeviceId().find("FIRST"));
    {
      ScopedDeviceIdSourceForTesting inner(&second);
      EXPECT_EQ(0u, GetDeviceId().find("SECOND"));
    }
    EXPECT_EQ(0u, GetDeviceId().find("FIRST"));
  }
}

TEST(DeviceIdTest, RealSourceGivesAStableIdStartingWithTheComputerName) {
  char name[1024] = {};
  DWORD size = sizeof(name);
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_EQ(std::string(name, size), RealDeviceIdSource().ComputerName());

  const std::string id = GetDeviceId();
  EXPECT_EQ(0u, id.find(name));
  EXPECT_GT(id.size(), std::strlen(name));
  EXPECT_LE(id.size(), 259u);
  EXPECT_EQ(id, GetDeviceId());
  EXPECT_EQ(id, BuildDeviceId(RealDeviceIdSource()));

  // The processor sum of the real instruction is the same every time.
  CpuIdRegisters a = RealDeviceIdSource().CpuId();
  CpuIdRegisters b = RealDeviceIdSource().CpuId();
  EXPECT_EQ(ProcessorSum(a), ProcessorSum(b));
  EXPECT_NE(0u, a.ebx);  // every x86-64 processor names its vendor
}

}  // namespace
