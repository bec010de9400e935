#pragma once

#include <optional>
#include <string>

namespace quorvia {

// Where a name comes from when /proc/cpuinfo names no processor itself.
struct ProcessorNameSources {
  std::string root;               // stands in for / where the device tree is read: "" in the host
  const char* machine = nullptr;  // the architecture; null: uname's
};

// The processor's name from an open /proc/cpuinfo, read from its start: the
// text after ": " of the first "model name" line (reading stops there), else
// of the first "Hardware", "cpu model" or "Processor" line. Kernels that have
// none of these (arm64, POWER, s390x, RISC-V) get what the machine offers:
// the arm64 implementer and part by name, POWER's "cpu", the s390x machine
// type, RISC-V's "uarch" or "isa"; then the device-tree model, and at last
// the architecture. A file that cannot be opened (fd < 0, as where /proc is
// mounted with subset=pid) or read counts as empty. Nullopt only when no
// source gives a name.
//
// Every source is one every account may read, so every account gets the
// same name: the SMBIOS processor record would name more processors, but
// the kernel lets only root read it (/sys/firmware/dmi/entries/4-0/raw is
// mode 0400, dmi_entry_raw_attr in drivers/firmware/dmi-sysfs.c).
std::optional<std::string> readProcessorName(int fd, const ProcessorNameSources& sources = {});

}  // namespace quorvia
