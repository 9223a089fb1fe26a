// The I/O port register block on desktop Windows: a desktop process has no
// physical address 0xB1600000, so the host that loads the driver provides
// the block as named shared memory (MUX_IOPORT_BLOCK_NAME), in which it
// stands for the module's lines: it sets GSM_RF_OK high, the sleep status
// low, and may watch DTR. Without that block every register reads 0 (the
// module looks crashed, and the start-up fails after its polls) and writes
// are lost. Built only by a desktop Windows compiler; empty elsewhere.
#if defined(_WIN32) && !defined(_WIN32_WCE)

#include "platform/platform.h"
#include "platform/own_calls.h"

namespace {

volatile LONG* volatile s_block = 0;

// The host's block, mapped on first use; null while the host has none (and
// tried again at the next access).
volatile LONG* Block()
{
    volatile LONG* block = s_block;
    if (block != 0) return block;
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, MUX_IOPORT_BLOCK_NAME);
    if (mapping == NULL) return 0;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, MUX_IOPORT_BLOCK_BYTES);
    CloseHandle(mapping);  // the view keeps the memory
    if (view == 0) return 0;
    if (InterlockedCompareExchangePointer((PVOID volatile*)&s_block, view, 0) != 0) {
        UnmapViewOfFile(view);  // another thread mapped it first
    }
    return s_block;
}

bool Valid(DWORD offset)
{
    return offset < MUX_IOPORT_BLOCK_BYTES && (offset % 4) == 0;
}

}  // namespace

DWORD IoPortRead(DWORD offset)
{
    volatile LONG* block = Block();
    if (block == 0 || !Valid(offset)) return 0;
    return (DWORD)block[offset / 4];
}

// One register is changed as a whole word, so that the host, which may
// watch and drive its own bits of the block meanwhile, never loses them.
void IoPortModify(DWORD offset, DWORD clearBits, DWORD setBits)
{
    volatile LONG* block = Block();
    if (block == 0 || !Valid(offset)) return;
    volatile LONG* reg = &block[offset / 4];
    LONG before = *reg;
    for (;;) {
        const LONG after = (LONG)(((DWORD)before & ~clearBits) | setBits);
        const LONG seen = InterlockedCompareExchange(reg, after, before);
        if (seen == before) return;
        before = seen;
    }
}

#endif  // desktop Windows
