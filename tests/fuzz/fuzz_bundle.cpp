// Drives the bundle container with every decoder: the input is taken as a whole
// container (padding, marker, algorithm, sizes, payload), so mutations reach the header
// checks and each codec's stream parser alike. One decode per input: a ZPAQ block alone
// sets up a model of some 90 MB, which dominates the run time.

#include "FuzzSupport.h"

#include "BundleContainer.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// Larger than any seed decodes to, small enough to keep thousands of runs a second.
constexpr std::uint64_t kMaxUnpackedSize = 256 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    using fuzzsupport::check;
    fuzzsupport::silenceQtMessages();

    const std::string Input(reinterpret_cast<const char*>(Data), Size);
    const bool IsContainer = shared::isBundlePacked(Input.data(), Input.size());

    std::string Output;
    const bool Unpacked = shared::unpackBundle(Output, Input, kMaxUnpackedSize);
    if (!Unpacked) {
        check(Output == Input, "a failed unpack must hand back the input");
    } else {
        shared::TBundleHeader Header;
        check(IsContainer, "only a container unpacks");
        check(shared::readBundleHeader(Input.data(), Input.size(), Header), "an unpacked container has a readable header");
        check(Header.m_UnpackedSize <= kMaxUnpackedSize, "the size bound holds");
        check(Output.size() <= Header.m_UnpackedSize, "never more output than declared");
    }
    return 0;
}
