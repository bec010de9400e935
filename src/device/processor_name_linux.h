#pragma once

#include <optional>
#include <string>

namespace quorvia {

// Where a name comes from when /proc/cpuinfo names no processor itself.
struct ProcessorNameSources {
  const char* smbiosProcessor = "/sys/firmware/dmi/entries/4-0/raw";  // readable by root only
  const char* deviceTreeModel = "/proc/device-tree/model";
  const char* machine = nullptr;  // the architecture; null: uname's
};

// The processor's name from an open /proc/cpuinfo, read from its start: the
// text after ": " of the first "model name" line (reading stops there), else
// of the first "Hardware", "cpu model" or "Processor" line. Kernels that have
// none of these (arm64, POWER, s390x, RISC-V) get what the machine offers:
// the arm64 implementer and part by name, POWER's "cpu", the s390x machine
// type, RISC-V's "uarch" or "isa"; then the SMBIOS processor version, the
// device-tree model, and at last the architecture. Nullopt only when the
// file cannot be read.
std::optional<std::string> readProcessorName(int fd, const ProcessorNameSources& sources = {});

}  // namespace quorvia
