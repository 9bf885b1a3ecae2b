// The machine identity: a text that tells this computer apart without asking
// the user, sent as the gate request's "udid" and the telemetry's "pc_id".
// It is the computer name followed by two decimal checksums, one of the
// processor's CPUID leaf 0 and one of the first two network adapters'
// hardware addresses. Servers key on it, so its composition must not change.
//
// Thread rules: GetDeviceId may be called from any thread; the first call
// builds the id under a lock and every later call returns the kept text.
// The other functions keep no state. The source seam is swapped only by tests,
// while no other thread asks for the id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct _IP_ADAPTER_INFO;

// The four registers of CPUID leaf 0, sub-leaf 0.
struct CpuIdRegisters {
  uint32_t eax = 0;
  uint32_t ebx = 0;
  uint32_t ecx = 0;
  uint32_t edx = 0;
};

// Where the identity's inputs come from.
class DeviceIdSource {
 public:
  virtual ~DeviceIdSource() = default;
  // The hardware addresses of the network adapters, in the order the system
  // lists them. False when they cannot be listed; an empty list counts as
  // such too, since the system reports "no data" then.
  virtual bool AdapterAddresses(std::vector<std::vector<uint8_t>>& out) = 0;
  // The computer's NetBIOS name in the ANSI code page; empty when unknown.
  virtual std::string ComputerName() = 0;
  virtual CpuIdRegisters CpuId() = 0;
};

// The system's own source: GetAdaptersInfo into a 22528-byte buffer (a
// machine with more adapters than fit is treated as one whose adapters
// cannot be listed, which keeps ids that servers already know), the computer
// name from GetComputerNameA and the CPUID instruction.
DeviceIdSource& RealDeviceIdSource();

// Installs `source` (null: the real one) and forgets the kept id, so the next
// GetDeviceId builds it anew. Returns the source that was in place.
DeviceIdSource* SetDeviceIdSourceForTesting(DeviceIdSource* source);

// Swaps the source for one scope and puts the previous one back after it,
// forgetting the kept id on both ends.
class ScopedDeviceIdSourceForTesting {
 public:
  explicit ScopedDeviceIdSourceForTesting(DeviceIdSource* source)
      : previous_(SetDeviceIdSourceForTesting(source)) {}
  ~ScopedDeviceIdSourceForTesting() { SetDeviceIdSourceForTesting(previous_); }
  ScopedDeviceIdSourceForTesting(const ScopedDeviceIdSourceForTesting&) = delete;
  ScopedDeviceIdSourceForTesting& operator=(const ScopedDeviceIdSourceForTesting&) = delete;

 private:
  DeviceIdSource* previous_;
};

// The id; built on the first call from the current source, then kept for the
// rest of the process (changes of the adapters meanwhile do not alter it).
std::string GetDeviceId();

// Builds the id from `source` without keeping it: the computer name, the
// processor sum and, when the adapters can be listed, their checksum, all in
// decimal, cut to 259 characters.
std::string BuildDeviceId(DeviceIdSource& source);

// The sum of the high and low 16-bit halves of the four registers, as an
// unsigned 32-bit number.
uint32_t ProcessorSum(const CpuIdRegisters& registers);

// Checksum of a hardware address: the bytes taken in pairs from the first,
// each pair adding first + 256 * second, an odd last byte added alone, all
// modulo 65536. An empty address gives 0.
uint16_t AdapterAddressSum(const uint8_t* address, size_t length);
// The same for an adapter record; a length beyond the record's address field
// is cut to the field.
uint16_t AdapterAddressSum(const _IP_ADAPTER_INFO& adapter);

// Checksum of the first two adapters of `source`: the one adapter's sum, or
// with two the smaller sum in the high half and the larger in the low half;
// further adapters are ignored. False, `value` untouched, when the adapters
// cannot be listed. The short form asks the current source.
bool AdaptersChecksum(DeviceIdSource& source, uint32_t& value);
bool AdaptersChecksum(uint32_t& value);
