#include <gtest/gtest.h>

#include "device/probes.h"
#include "fake_system.h"
#include "host/error_info.h"

namespace quorvia {
namespace {

// A list that outgrows the first block is asked for once more, with the room
// the system asked for; if it has grown again by then, that is 201.
TEST(AdapterGrowth, OneMoreCallWithTheReportedSizeThenFailure) {
  constexpr std::size_t kCount = 1500;  // 48,000 bytes of the fake's entries
  for (const std::size_t appearing : {0, 1}) {
    fake::FakeLocalSystem system;
    system.adapters.assign(kCount, {0xAB, 0, 0, 0, 0, 0x01});
    system.adaptersAppearing = appearing;
    std::u16string text;
    std::int32_t code = 0;
    try {
      text = collectAdapterAddresses(system);
    } catch (const ErrorInfo& e) {
      code = e.code;
    }
    const auto needed = static_cast<std::uint32_t>(kCount * sizeof(fake::FakeLocalSystem::Entry));
    EXPECT_EQ(system.adapterBufferSizes, (std::vector<std::uint32_t>{44800, needed}));
    EXPECT_TRUE(system.adapterBufferZeroFilled);
    EXPECT_EQ(code, appearing == 0 ? 0 : 201);
    EXPECT_EQ(text.size(), appearing == 0 ? kCount * 21 : 0u);  // "AB:00:00:00:00:01", plus ", " between
  }
}

}  // namespace
}  // namespace quorvia
