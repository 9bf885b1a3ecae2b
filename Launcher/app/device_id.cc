#include "app/device_id.h"

#include <windows.h>

#include <iphlpapi.h>
#include <winsock2.h>

#include <cpuid.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "base/lock.h"

namespace {

// The buffer size the id has always been computed with; see RealDeviceIdSource.
constexpr ULONG kAdapterBufferBytes = 22528;
// The id was kept in a 260-character buffer.
constexpr size_t kMaxIdLength = 259;

class SystemDeviceIdSource : public DeviceIdSource {
 public:
  bool AdapterAddresses(std::vector<std::vector<uint8_t>>& out) override {
    // IP_ADAPTER_INFO holds pointers, so the buffer must be suitably aligned.
    std::unique_ptr<IP_ADAPTER_INFO[]> buffer(
        new (std::nothrow) IP_ADAPTER_INFO[kAdapterBufferBytes / sizeof(IP_ADAPTER_INFO) + 1]);
    if (!buffer) return false;
    ULONG size = kAdapterBufferBytes;
    if (GetAdaptersInfo(buffer.get(), &size) != ERROR_SUCCESS) return false;
    std::vector<std::vector<uint8_t>> list;
    for (const IP_ADAPTER_INFO* adapter = buffer.get(); adapter != nullptr;
         adapter = adapter->Next) {
      size_t length = std::min<size_t>(adapter->AddressLength, sizeof(adapter->Address));
      list.emplace_back(adapter->Address, adapter->Address + length);
    }
    out.swap(list);
    return !out.empty();
  }

  std::string ComputerName() override {
    char name[1024] = {};
    DWORD size = sizeof(name);
    if (!GetComputerNameA(name, &size)) return std::string();
    return std::string(name, std::min<size_t>(size, sizeof(name) - 1));
  }

  CpuIdRegisters CpuId() override {
    unsigned int a = 0;
    unsigned int b = 0;
    unsigned int c = 0;
    unsigned int d = 0;
    __cpuid_count(0, 0, a, b, c, d);
    CpuIdRegisters registers;
    registers.eax = a;
    registers.ebx = b;
    registers.ecx = c;
    registers.edx = d;
    return registers;
  }
};

SystemDeviceIdSource g_system_source;
std::atomic<DeviceIdSource*> g_source{&g_system_source};

// The kept id and its lock.
struct IdCache {
  nbase::Lock lock;
  bool built = false;
  std::string id;
};

IdCache& Cache() {
  static IdCache cache;
  return cache;
}

}  // namespace

DeviceIdSource& RealDeviceIdSource() { return g_system_source; }

DeviceIdSource* SetDeviceIdSourceForTesting(DeviceIdSource* source) {
  DeviceIdSource* previous = g_source.exchange(source != nullptr ? source : &g_system_source);
  IdCache& cache = Cache();
  nbase::AutoLock hold(cache.lock);
  cache.built = false;
  cache.id.clear();
  return previous;
}

uint32_t ProcessorSum(const CpuIdRegisters& registers) {
  uint32_t sum = 0;
  for (uint32_t value : {registers.eax, registers.ebx, registers.ecx, registers.edx}) {
    sum += (value >> 16) + (value & 0xFFFFu);
  }
  return sum;
}

uint16_t AdapterAddressSum(const uint8_t* address, size_t length) {
  if (address == nullptr) return 0;
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2) sum += address[i] + 256u * address[i + 1];
  if (i < length) sum += address[i];
  return static_cast<uint16_t>(sum & 0xFFFFu);
}

uint16_t AdapterAddressSum(const _IP_ADAPTER_INFO& adapter) {
  size_t length = std::min<size_t>(adapter.AddressLength, sizeof(adapter.Address));
  return AdapterAddressSum(adapter.Address, length);
}

bool AdaptersChecksum(DeviceIdSource& source, uint32_t& value) {
  std::vector<std::vector<uint8_t>> addresses;
  if (!source.AdapterAddresses(addresses) || addresses.empty()) return false;
  uint32_t a = AdapterAddressSum(addresses[0].data(), addresses[0].size());
  if (addresses.size() < 2) {
    value = a;
    return true;
  }
  uint32_t b = AdapterAddressSum(addresses[1].data(), addresses[1].size());
  value = b < a ? (b << 16) | a : (a << 16) | b;
  return true;
}

bool AdaptersChecksum(uint32_t& value) { return AdaptersChecksum(*g_source.load(), value); }

std::string BuildDeviceId(DeviceIdSource& source) {
  std::string id = source.ComputerName();
  id += std::to_string(ProcessorSum(source.CpuId()));
  uint32_t adapters = 0;
  if (AdaptersChecksum(source, adapters)) id += std::to_string(adapters);
  if (id.size() > kMaxIdLength) id.resize(kMaxIdLength);
  return id;
}

std::string GetDeviceId() {
  IdCache& cache = Cache();
  nbase::AutoLock hold(cache.lock);
  if (!cache.built) {
    cache.id = BuildDeviceId(*g_source.load());
    cache.built = true;
  }
  return cache.id;
}
