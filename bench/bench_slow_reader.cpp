// A port whose client never reads beside a busy one, over the simulated
// line in virtual time: the module sends 127-octet UIH frames back to back,
// 5% of them for "MUX3:" (never read) and the rest for "MUX2:" (read as the
// radio interface layer reads: WaitCommEvent, ReadFile). Printed: the busy
// port's frames lost (reference: none), its goodput against the line's
// ceiling, the unread port's octets lost by the driver,
// and the frames the module drops once its own (bounded) hold buffer is
// full.
#include "figures.h"
#include "system.h"

namespace {

constexpr uint64_t kSeed = 1;
const unsigned kFrames = bench::Quick() ? 2000 : 20000;
constexpr size_t kInfo = 127;
constexpr size_t kFrameOctets = kInfo + 6;

struct Run {
    unsigned sentBusy = 0, sentIdle = 0;
    size_t gotBusy = 0;
    double goodput = 0;
    uint64_t droppedByModule = 0;
    size_t heldByModule = 0;
    size_t bufferedIdle = 0;
};

Run SlowReader()
{
    bench::System sys(kSeed, bench::WithModem(sim::DataMode::Echo));
    HANDLE busy = sys.Open(u"MUX2:");
    HANDLE idle = sys.Open(u"MUX3:");
    Run r;
    unsigned next = 0;
    sim::ModuleSerial& modem = sys.Modem();
    // The module keeps the line busy: a new frame whenever fewer than two
    // are queued on it.
    modem.StartTraffic(1, [&](unsigned) {
        std::vector<uint8_t> none;
        if (next >= kFrames || modem.Uart().ToHostQueued() >= 2 * kFrameOctets) return none;
        const bool toIdle = next++ % 20 == 19;
        unsigned& n = toIdle ? r.sentIdle : r.sentBusy;
        ++n;
        return sim::BuildFrame(toIdle ? 3 : 2, false, 0xEF, std::vector<uint8_t>(kInfo, 'd'));
    });
    std::string got;
    uint64_t t0 = 0, t1 = 0;
    uint64_t idleSince = 0;
    for (;;) {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(busy, &errors, &stat)) bench::Fail("ClearCommError failed");
        if (stat.cbInQue == 0) {
            if (next >= kFrames) {
                if (idleSince == 0) idleSince = plat::NowMs();
                if (plat::NowMs() - idleSince > 500) break;
                Sleep(10);
                continue;
            }
        }
        idleSince = 0;
        const size_t before = got.size();
        bench::WaitAndRead(busy, &got);
        if (before == 0 && !got.empty()) t0 = plat::NowMs();
        if (got.size() > before) t1 = plat::NowMs();
    }
    modem.StopTraffic();
    r.gotBusy = got.size();
    // The first frame's arrival to the last's: frames - 1 frame times.
    const double octets = double(got.size()) - double(kInfo);
    r.goodput = t1 > t0 ? octets * 1000.0 / double(t1 - t0) : 0;
    r.droppedByModule = modem.HeldFramesDropped(3);
    r.heldByModule = modem.HeldOctets(3);
    DWORD errors = 0;
    COMSTAT stat{};
    ClearCommError(idle, &errors, &stat);
    r.bufferedIdle = stat.cbInQue;
    return r;
}

}  // namespace

int main()
{
    const Run r = SlowReader();
    const double lostBusy = double(r.sentBusy) - double(r.gotBusy) / double(kInfo);
    bench::PrintFigure("slow reader: busy DLCI's frames lost, 5% to a client that never reads",
                       100.0 * lostBusy / double(r.sentBusy), "%", 0);
    // Against the whole line's ceiling (0.95 of it is the least wanted):
    // once the module holds the unread port's frames, they take no line
    // time, and the busy port gets the rest.
    bench::PrintFigure("goodput MUX2: beside an unread port, module to host", r.goodput, "octets/s",
                       bench::kCeiling);
    const double sentIdle = double(r.sentIdle) * kInfo;
    // What the driver lost of it: neither in its buffer, nor held by the
    // module, nor dropped by the module (once its own hold buffer is full).
    const double heldInfo = double(r.heldByModule / kFrameOctets * kInfo);
    const double lostIdle =
        sentIdle - double(r.bufferedIdle) - heldInfo - double(r.droppedByModule) * kInfo;
    bench::PrintFigure("slow reader: unread port octets lost by the driver", lostIdle, "octets", 0);
    bench::PrintFigure("slow reader: unread port frames dropped by the module's full hold buffer",
                       double(r.droppedByModule), "frames", 0);
    bench::PrintFigure("slow reader: unread port octets buffered by the driver",
                       double(r.bufferedIdle), "octets", 0);
    return 0;
}
