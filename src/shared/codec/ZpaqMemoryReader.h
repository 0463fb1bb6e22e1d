#pragma once

#include <libzpaq.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace shared {

// libzpaq's input from a byte range in memory (used by the decoder and the packer).
class TZpaqMemoryReader final : public libzpaq::Reader {
public:
    TZpaqMemoryReader(const unsigned char* Data, std::size_t Size)
        : m_Data(Data)
        , m_Size(Size)
    {
    }
    int get() override { return m_Offset < m_Size ? m_Data[m_Offset++] : -1; }
    int read(char* Buffer, int Count) override
    {
        const std::size_t Take = std::min<std::size_t>(static_cast<std::size_t>(std::max(Count, 0)), m_Size - m_Offset);
        std::memcpy(Buffer, m_Data + m_Offset, Take);
        m_Offset += Take;
        return static_cast<int>(Take);
    }

private:
    const unsigned char* m_Data;
    std::size_t m_Size;
    std::size_t m_Offset = 0;
};

} // namespace shared
