#include "device/processor_name_linux.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "device/file_text_linux.h"

namespace quorvia {

namespace {

// /proc/cpuinfo line "key<tabs>: value": the value when the key matches.
std::optional<std::string_view> cpuInfoValue(std::string_view line, std::string_view key) {
  if (line.substr(0, key.size()) != key) return std::nullopt;
  std::size_t pos = key.size();
  while (pos < line.size() && (line[pos] == '\t' || line[pos] == ' ')) ++pos;
  if (pos == line.size() || line[pos] != ':') return std::nullopt;
  const std::size_t value = line.find(": ", pos);
  return value == std::string_view::npos ? std::string_view{} : line.substr(value + 2);
}

// The arm64 kernel shows only the MIDR fields; lscpu and the other mature
// tools name them from the vendors' published part numbers.
struct ArmImplementer {
  unsigned id;
  const char* name;
};
constexpr ArmImplementer kArmImplementers[] = {
    {0x41, "ARM"},    {0x42, "Broadcom"}, {0x43, "Cavium"},    {0x46, "Fujitsu"}, {0x48, "HiSilicon"},
    {0x4e, "NVIDIA"}, {0x50, "APM"},      {0x51, "Qualcomm"},  {0x53, "Samsung"}, {0x56, "Marvell"},
    {0x61, "Apple"},  {0x69, "Intel"},    {0x6d, "Microsoft"}, {0x70, "Phytium"}, {0xc0, "Ampere"},
};
struct ArmPart {
  unsigned implementer;
  unsigned part;
  const char* name;
};
constexpr ArmPart kArmParts[] = {
    {0x41, 0xc05, "Cortex-A5"},       {0x41, 0xc07, "Cortex-A7"},       {0x41, 0xc08, "Cortex-A8"},
    {0x41, 0xc09, "Cortex-A9"},       {0x41, 0xc0d, "Cortex-A17"},      {0x41, 0xc0f, "Cortex-A15"},
    {0x41, 0xd01, "Cortex-A32"},      {0x41, 0xd02, "Cortex-A34"},      {0x41, 0xd03, "Cortex-A53"},
    {0x41, 0xd04, "Cortex-A35"},      {0x41, 0xd05, "Cortex-A55"},      {0x41, 0xd06, "Cortex-A65"},
    {0x41, 0xd07, "Cortex-A57"},      {0x41, 0xd08, "Cortex-A72"},      {0x41, 0xd09, "Cortex-A73"},
    {0x41, 0xd0a, "Cortex-A75"},      {0x41, 0xd0b, "Cortex-A76"},      {0x41, 0xd0c, "Neoverse-N1"},
    {0x41, 0xd0d, "Cortex-A77"},      {0x41, 0xd0e, "Cortex-A76AE"},    {0x41, 0xd40, "Neoverse-V1"},
    {0x41, 0xd41, "Cortex-A78"},      {0x41, 0xd42, "Cortex-A78AE"},    {0x41, 0xd44, "Cortex-X1"},
    {0x41, 0xd46, "Cortex-A510"},     {0x41, 0xd47, "Cortex-A710"},     {0x41, 0xd48, "Cortex-X2"},
    {0x41, 0xd49, "Neoverse-N2"},     {0x41, 0xd4a, "Neoverse-E1"},     {0x41, 0xd4b, "Cortex-A78C"},
    {0x41, 0xd4c, "Cortex-X1C"},      {0x41, 0xd4d, "Cortex-A715"},     {0x41, 0xd4e, "Cortex-X3"},
    {0x41, 0xd4f, "Neoverse-V2"},     {0x41, 0xd80, "Cortex-A520"},     {0x41, 0xd81, "Cortex-A720"},
    {0x41, 0xd82, "Cortex-X4"},       {0x41, 0xd84, "Neoverse-V3"},     {0x41, 0xd8e, "Neoverse-N3"},
    {0x42, 0x516, "Vulcan"},          {0x43, 0x0a1, "ThunderX 88XX"},   {0x43, 0x0af, "ThunderX2 99xx"},
    {0x46, 0x001, "A64FX"},           {0x48, 0xd01, "TaiShan-v110"},    {0x48, 0xd02, "TaiShan-v120"},
    {0x4e, 0x003, "Denver 2"},        {0x4e, 0x004, "Carmel"},          {0x50, 0x000, "X-Gene"},
    {0x51, 0x800, "Kryo 2XX Gold"},   {0x51, 0x801, "Kryo 2XX Silver"}, {0x51, 0x802, "Kryo 3XX Gold"},
    {0x51, 0x803, "Kryo 3XX Silver"}, {0x51, 0x804, "Kryo 4XX Gold"},   {0x51, 0x805, "Kryo 4XX Silver"},
    {0x51, 0xc00, "Falkor"},          {0x51, 0xc01, "Saphira"},         {0x51, 0x001, "Oryon"},
    {0x53, 0x001, "Exynos-M1"},       {0x61, 0x022, "M1 Icestorm"},     {0x61, 0x023, "M1 Firestorm"},
    {0x61, 0x032, "M2 Blizzard"},     {0x61, 0x033, "M2 Avalanche"},    {0x70, 0x662, "FTC662"},
    {0x70, 0x663, "FTC663"},          {0xc0, 0xac3, "Ampere-1"},        {0xc0, 0xac4, "Ampere-1a"},
};

std::optional<std::string> armName(std::string_view implementer, std::string_view part) {
  const auto number = [](std::string_view text) { return std::strtoul(std::string(text).c_str(), nullptr, 0); };
  const unsigned long i = number(implementer), p = number(part);
  for (const ArmPart& entry : kArmParts) {
    if (entry.implementer != i || entry.part != p) continue;
    for (const ArmImplementer& vendor : kArmImplementers) {
      if (vendor.id == i) return std::string(vendor.name) + " " + entry.name;
    }
  }
  return std::nullopt;
}

// IBM's machine types, as /proc/sysinfo and the hardware manuals name them.
std::string s390Name(std::string_view vendor, std::string_view machine) {
  static constexpr struct {
    std::string_view type, name;
  } kModels[] = {{"2964", "z13"}, {"2965", "z13s"},    {"3906", "z14"}, {"3907", "z14 ZR1"},
                 {"8561", "z15"}, {"8562", "z15 T02"}, {"3931", "z16"}, {"3932", "z16 A02"}};
  std::string name(vendor.empty() ? "IBM/S390" : vendor);
  name.append(" ").append(machine);
  for (const auto& model : kModels) {
    if (model.type == machine) name.append(" (").append(model.name).append(")");
  }
  return name;
}

// "version = FF,  identification = 0133E8,  machine = 2964" of an s390x
// "processor N:" line.
std::string_view s390Machine(std::string_view line) {
  const std::size_t at = line.find("machine = ");
  if (line.substr(0, 10) != "processor " || at == std::string_view::npos) return {};
  const std::string_view rest = line.substr(at + 10);
  return rest.substr(0, rest.find_first_of(", "));
}

bool blank(std::string_view text) { return text.find_first_not_of(" \t") == std::string_view::npos; }

}  // namespace

// How much of /proc/cpuinfo a name needs. The kernel makes the text one
// record at a time as it is read, and a read no longer than the first record
// makes only that one (seq_read_iter in fs/seq_file.c), so the first
// processor's block is read in small reads and the text ends for us there:
// - x86 (arch/x86/kernel/cpu/proc.c, show_cpuinfo), riscv
//   (arch/riscv/kernel/cpu.c, c_show) and powerpc
//   (arch/powerpc/kernel/setup-common.c, show_cpuinfo) make one record per
//   processor, each with "model name", "isa" and "uarch", or "cpu"; powerpc's
//   summary after the last one names the platform, not the processor.
// - s390 (arch/s390/kernel/processor.c, show_cpu_summary) puts vendor_id and
//   every processor's machine line in a summary before the first blank line.
// - arm64 (arch/arm64/kernel/cpuinfo.c, c_show) makes one record of all the
//   processors' blocks, so reading on makes nothing more; vendor kernels
//   (the Raspberry Pi's) add a Hardware line after the blocks, which names
//   the machine where the first block gave only an implementer and a part.
constexpr std::size_t kFirstBlockReads = 256;

std::optional<std::string> readProcessorName(int fd, const ProcessorNameSources& sources) {
  if (fd >= 0 && ::lseek(fd, 0, SEEK_SET) != 0) fd = -1;
  LineReader reader(fd, kFirstBlockReads);
  std::string line;
  std::optional<std::string> named;  // Hardware, cpu model, Processor
  // Only what the first processor's block shows is kept.
  std::string implementer, part, power, vendor, machine, uarch, isa;
  const auto keep = [&line](std::string& slot, std::string_view key) {
    if (!slot.empty()) return;
    if (auto value = cpuInfoValue(line, key)) slot = *value;
  };
  bool inBlock = false, pastFirstBlock = false;
  while (reader.next(line)) {
    if (line.empty()) {
      if (inBlock && !pastFirstBlock) {
        if (named || implementer.empty()) break;
        pastFirstBlock = true;
        reader.setReadSize(LineReader::kChunkSize);
      }
      continue;
    }
    inBlock = true;
    if (auto value = cpuInfoValue(line, "model name")) return std::string(*value);
    if (named) continue;
    for (std::string_view key : {"Hardware", "cpu model", "Processor"}) {
      if (auto value = cpuInfoValue(line, key)) {
        named = std::string(*value);
        break;
      }
    }
    keep(implementer, "CPU implementer");
    keep(part, "CPU part");
    keep(power, "cpu");
    keep(vendor, "vendor_id");
    if (machine.empty()) machine = s390Machine(line);
    keep(uarch, "uarch");
    keep(isa, "isa");
  }
  if (!reader.failed()) {  // a file that cannot be read counts as empty
    if (named) return named;
    if (!implementer.empty() && !part.empty()) {
      if (auto name = armName(implementer, part)) return name;
    }
    if (!blank(power)) return power;
    if (!machine.empty()) return s390Name(vendor, machine);
    if (!blank(uarch)) return uarch;
    if (!blank(isa)) return isa;
  }
  // /proc/device-tree links to the folder in sysfs (of_core_init in
  // drivers/of/base.c), which is there without /proc.
  std::string model;
  for (const char* path : {"/sys/firmware/devicetree/base/model", "/proc/device-tree/model"}) {
    if (!readSmallFile((sources.root + path).c_str(), model)) continue;
    model.resize(std::min(model.find('\0'), model.size()));  // ends with a NUL
    if (!blank(model)) return model;
  }
  utsname system;
  const char* architecture = sources.machine;
  if (architecture == nullptr) architecture = ::uname(&system) == 0 ? system.machine : "";
  if (blank(architecture)) return std::nullopt;
  return std::string(architecture);
}

}  // namespace quorvia
