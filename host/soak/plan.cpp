#include "plan.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace soak {

namespace {

class Dice {
public:
    explicit Dice(uint64_t seed) : rng_(seed) {}
    // A number from lo to hi, both included.
    uint32_t In(uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng_); }
    bool Chance(unsigned percent) { return In(1, 100) <= percent; }
    template <typename T>
    const T& Pick(const std::vector<T>& v) { return v[In(0, static_cast<uint32_t>(v.size() - 1))]; }
    std::vector<uint8_t> Octets(uint32_t maxLen)
    {
        std::vector<uint8_t> o(In(1, maxLen));
        for (uint8_t& b : o) b = static_cast<uint8_t>(In(0, 255));
        return o;
    }

private:
    std::mt19937_64 rng_;
};

std::string N(uint32_t v) { return std::to_string(v); }

void DrawInstances(Dice& d, Plan* p)
{
    std::vector<int> indices = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::vector<int> dlcis;
    // Not DLCI 62: its address octet from the module (C/R = 0) is the flag
    // itself, so no receiver can tell its frames from flags.
    for (int i = 1; i <= 63; i++) {
        if (i != 62) dlcis.push_back(i);
    }
    const uint32_t count = d.In(1, 4);
    for (uint32_t i = 0; i < count; i++) {
        Instance in;
        size_t at = d.In(0, static_cast<uint32_t>(indices.size() - 1));
        in.index = indices[at];
        indices.erase(indices.begin() + static_cast<long>(at));
        // Mostly the low DLCIs the phone uses, now and then any.
        at = d.Chance(80) ? d.In(0, 7) : d.In(0, static_cast<uint32_t>(dlcis.size() - 1));
        at = std::min<size_t>(at, dlcis.size() - 1);
        in.dlci = dlcis[at];
        dlcis.erase(dlcis.begin() + static_cast<long>(at));
        in.type = d.Chance(30) ? 0 : 1;
        in.order = static_cast<int>(d.In(10, 40));
        p->instances.push_back(in);
    }
}

std::string RegText(const Plan& p)
{
    std::string t = "; drawn by soak for seed " + std::to_string(p.seed) + "\n";
    for (const Instance& in : p.instances) {
        t += "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\MUX" + N(in.index) + "]\n";
        t += "    \"Prefix\"=\"MUX\"\n    \"Dll\"=\"gsmmux.dll\"\n";
        char line[160];
        std::snprintf(line, sizeof(line),
                      "    \"Index\"=dword:%x\n    \"Order\"=dword:%x\n    \"GSM_0710_DLCI\"=dword:%x\n"
                      "    \"GSM_0710_TYPE\"=dword:%x\n",
                      in.index, in.order, in.dlci, in.type);
        t += line;
    }
    const Instance& data = p.instances.back();
    t += "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\RIL]\n";
    t += "    \"DataPort\"=\"" + data.Name() + "\"\n";
    t += "    \"ComPortNotifications\"=\"" + p.instances.front().Name() + "\"\n";
    t += "[HKEY_LOCAL_MACHINE\\System\\State\\Phone]\n    \"Status\"=dword:0\n";
    return t;
}

std::string OctetNumbers(Dice& d)
{
    std::string s;
    const uint32_t n = d.In(1, 4);
    for (uint32_t i = 0; i < n; i++) s += (i ? "," : "") + N(d.In(1, 8000));
    return s;
}

// The module's faults; each has its chance. Times fall in the fault window.
void DrawFaults(Dice& d, Plan* p)
{
    const uint32_t end = p->faultEndMs;
    auto at = [&] { return N(d.In(500, end)); };
    const int dlci = p->instances[d.In(0, static_cast<uint32_t>(p->instances.size() - 1))].dlci;
    std::vector<std::string>& f = p->faults;
    if (d.Chance(25)) f.push_back("dropToHost=" + OctetNumbers(d));
    if (d.Chance(25)) f.push_back("corruptToHost=" + OctetNumbers(d));
    if (d.Chance(25)) f.push_back("dropFromHost=" + OctetNumbers(d));
    if (d.Chance(25)) f.push_back("corruptFromHost=" + OctetNumbers(d));
    if (d.Chance(20)) f.push_back("split=" + N(d.In(0, 40)) + ":" + N(d.In(1, 20)) + ":" + N(d.In(1, 50)));
    if (d.Chance(20)) f.push_back("lineEvent=" + at() + ":" + N(d.Pick(std::vector<uint32_t>{0, 2, 4, 8})));
    if (d.Chance(15)) f.push_back("strayUa=" + at());
    if (d.Chance(15)) f.push_back("strayDm=" + at());
    if (d.Chance(15)) f.push_back("uihBurst=" + at() + ":" + N(d.In(1, 40)));
    if (d.Chance(20)) f.push_back("flowStop=" + N(dlci) + ":" + at() + ":" + N(d.In(10, 4000)));
    const std::vector<std::string> types = {"MSC", "SNC", "TEST", "PSC"};
    if (d.Chance(10)) f.push_back("repeatResponse=" + d.Pick(types) + ":" + N(d.In(2, 4)));
    if (d.Chance(10)) f.push_back("lateDuplicate=" + d.Pick(types) + ":" + N(d.In(1, 4000)));
    if (d.Chance(10)) {
        f.push_back("closeAfter=" + d.Pick(std::vector<std::string>{"MSC", "SNC"}) + ":" +
                    (d.Chance(50) ? "CLD" : "DISC") + ":" + N(d.In(1, 3)));
    }
    // Slow and missing answers.
    if (d.Chance(15)) f.push_back("uaDelayMs=" + N(d.In(50, 4000)));
    if (d.Chance(15)) f.push_back("ctrlReplyDelayMs=" + N(d.In(50, 4000)));
    if (d.Chance(15)) f.push_back("atReplyDelayMs=" + N(d.In(50, 4000)));
    if (d.Chance(10)) f.push_back("answerMsc=false");
    if (d.Chance(10)) f.push_back("answerSnc=false");
    if (d.Chance(10)) f.push_back("noUaDlcis=" + N(dlci) + ",");
    // The module's frames with a wrong FCS, and its output handed over in
    // chunks as a USB modem hands its tty data.
    if (d.Chance(15)) {
        std::string frames;
        const uint32_t n = d.In(1, 4);
        for (uint32_t i = 0; i < n; i++) frames += (i ? "," : "") + N(d.In(1, 400));
        f.push_back("badFcsToHost=" + frames);
    }
    if (d.Chance(15)) {
        f.push_back("chunkOctets=" + N(d.In(256, 4096)));
        f.push_back("chunkHoldMs=" + N(d.In(1, 20)));
    }
}

// Flow control from and towards the module: FCoff and FCon, a module that
// ignores the host's MSC FC, and one whose hold buffer is small. A dice of
// their own, so that the draws above (and the seeds kept for them) stay.
void DrawFlowFaults(uint64_t seed, Plan* p)
{
    Dice d(seed ^ 0xf10c0ffULL);
    std::vector<std::string>& f = p->faults;
    if (d.Chance(15)) f.push_back("fcOff=" + N(d.In(500, p->faultEndMs)) + ":" + N(d.In(10, 4000)));
    if (d.Chance(10)) f.push_back("honourHostFlow=false");
    if (d.Chance(10)) f.push_back("flowHoldLimit=" + N(d.In(0, 4000)));
}

void DrawModemEvents(Dice& d, Plan* p)
{
    const uint32_t count = d.In(0, 8);
    for (uint32_t i = 0; i < count; i++) {
        ModemEvent e;
        e.atMs = d.In(500, p->faultEndMs);
        e.act = static_cast<ModemAct>(d.In(0, static_cast<uint32_t>(ModemAct::Glitch)));
        // A crash is rarer than the rest: it costs the whole run a recovery.
        if (e.act == ModemAct::Crash && !d.Chance(40)) e.act = ModemAct::Data;
        e.dlci = p->instances[d.In(0, static_cast<uint32_t>(p->instances.size() - 1))].dlci;
        if (e.act == ModemAct::Garbage) e.octets = d.Octets(40);
        if (e.act == ModemAct::Data) e.octets = d.Octets(120);
        p->modemEvents.push_back(e);
    }
    std::stable_sort(p->modemEvents.begin(), p->modemEvents.end(),
                     [](const ModemEvent& a, const ModemEvent& b) { return a.atMs < b.atMs; });
}

Op DrawOp(Dice& d, const Plan& p)
{
    Op op;
    op.pauseMs = d.In(0, 1500);
    op.instance = static_cast<int>(d.In(0, static_cast<uint32_t>(p.instances.size() - 1)));
    // Weights: the everyday calls often, the heavy ones now and then.
    const uint32_t r = d.In(1, 100);
    if (r <= 14) op.kind = OpKind::Open;
    else if (r <= 20) op.kind = OpKind::Close;
    else if (r <= 36) op.kind = OpKind::Read;
    else if (r <= 54) op.kind = OpKind::Write;
    else if (r <= 66) op.kind = OpKind::Wait;
    else if (r <= 74) op.kind = OpKind::Mask;
    else if (r <= 82) op.kind = OpKind::ModemStatus;
    else if (r <= 84) op.kind = OpKind::Reinit;
    else if (r <= 85) op.kind = OpKind::CrashCheck;
    else if (r <= 88) op.kind = OpKind::Power;
    else if (r <= 91) op.kind = OpKind::Reactivate;
    else op.kind = OpKind::Misuse;
    switch (op.kind) {
    case OpKind::Read: op.arg = d.Pick(std::vector<uint32_t>{1, 7, 64, 512, 4096}); break;
    case OpKind::Write: op.arg = d.Chance(50) ? 0 : d.In(1, 600); break;
    case OpKind::Mask: op.arg = d.Chance(80) ? 1u : 0u; break;  // EV_RXCHAR or none
    case OpKind::Power: op.arg = d.In(0, 3000); break;
    case OpKind::Reactivate: op.arg = d.In(0, 500); break;
    case OpKind::Misuse: op.arg = d.In(0, 5); break;
    default: break;
    }
    return op;
}

}  // namespace

Plan Draw(uint64_t seed)
{
    Dice d(seed);
    Plan p;
    p.seed = seed;
    DrawInstances(d, &p);
    p.regText = RegText(p);
    p.faultEndMs = d.In(3000, 30000);
    p.wakePeriodMs = d.In(50, 2000);
    DrawFaults(d, &p);
    DrawFlowFaults(seed, &p);
    DrawModemEvents(d, &p);
    const uint32_t clients = d.In(1, 3);
    for (uint32_t c = 0; c < clients; c++) {
        std::vector<Op> ops;
        const uint32_t count = d.In(1, 30);
        for (uint32_t i = 0; i < count; i++) ops.push_back(DrawOp(d, p));
        p.clients.push_back(ops);
    }
    return p;
}

const char* OpName(OpKind kind)
{
    static const char* const names[] = {"open", "close", "read", "write", "wait", "mask", "modem-status",
                                        "reinit", "crash-check", "power", "reactivate", "misuse"};
    return names[static_cast<int>(kind)];
}

namespace {

const char* ActName(ModemAct act)
{
    static const char* const names[] = {"DISC", "SABM", "DM", "CLD", "DISC on DLCI 0", "MSC FC=1",
                                        "MSC FC=0", "break", "garbage", "data", "crash", "reboot"};
    return names[static_cast<int>(act)];
}

}  // namespace

std::vector<std::string> Describe(const Plan& p)
{
    std::vector<std::string> out;
    out.push_back("seed " + std::to_string(p.seed));
    for (const Instance& in : p.instances) {
        out.push_back("instance " + in.Name() + " DLCI " + N(in.dlci) + " type " + N(in.type) + " order " +
                      N(in.order));
    }
    out.push_back("faults until " + N(p.faultEndMs) + " ms, waker every " + N(p.wakePeriodMs) + " ms");
    for (const std::string& f : p.faults) out.push_back("module " + f);
    for (const ModemEvent& e : p.modemEvents) {
        out.push_back("modem at " + N(e.atMs) + " ms: " + ActName(e.act) + " DLCI " + N(e.dlci) +
                      (e.octets.empty() ? "" : ", " + N(static_cast<uint32_t>(e.octets.size())) + " octets"));
    }
    for (size_t c = 0; c < p.clients.size(); c++) {
        std::string line = "client " + std::to_string(c) + ":";
        for (const Op& op : p.clients[c]) {
            line += " +" + N(op.pauseMs) + " " + OpName(op.kind) + " " + p.instances[op.instance].Name() +
                    (op.arg ? "(" + N(op.arg) + ")" : "");
        }
        out.push_back(line);
    }
    return out;
}

}  // namespace soak
