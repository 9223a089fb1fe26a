#include "run.h"

#include "host/muxhost/muxhost.h"
#include "platform/devmgr/devmgr.h"
#include "platform/host.h"
#include "sim/frame_record.h"
#include "sim/module_settings.h"
#include "world.h"

namespace soak {

World::World(const Plan& p, const Bounds& b, sim::SimModule& m) : plan(p), bounds(b), module(m)
{
    InitializeCriticalSection(&lock);
    devices.assign(p.instances.size(), INVALID_HANDLE_VALUE);
    waiters.resize(p.clients.size());
    clientOps.resize(p.clients.size());
}

World::~World() { DeleteCriticalSection(&lock); }

void World::Fail(const std::string& what)
{
    EnterCriticalSection(&lock);
    result.ok = false;
    result.failures.push_back(std::to_string(plat::NowMs()) + " ms: " + what);
    LeaveCriticalSection(&lock);
}

void World::Note(const std::string& what)
{
    EnterCriticalSection(&lock);
    result.notes.push_back(what);
    LeaveCriticalSection(&lock);
}

std::u16string World::DriverKey(int i) const
{
    return u"Drivers\\BuiltIn\\MUX" + plat::FromUtf8(std::to_string(plan.instances[i].index));
}

std::u16string World::PortName(int i) const { return plat::FromUtf8(plan.instances[i].Name()); }

HANDLE World::Device(int i)
{
    EnterCriticalSection(&lock);
    HANDLE d = devices[i];
    LeaveCriticalSection(&lock);
    return d;
}

void World::SetDevice(int i, HANDLE device)
{
    EnterCriticalSection(&lock);
    devices[i] = device;
    LeaveCriticalSection(&lock);
}

std::vector<uint8_t> DrawOctets(std::mt19937_64& rng, size_t count)
{
    std::vector<uint8_t> o(count);
    for (uint8_t& b : o) b = static_cast<uint8_t>(rng());
    return o;
}

namespace {

// The phone's module: a modem behind every user DLCI.
sim::ModuleSettings Quiet()
{
    sim::ModuleSettings m;
    m.serial.modem.modemDlcis = ~uint64_t(1);
    return m;
}

void ModemDoes(World& w, const ModemEvent& e)
{
    sim::ModuleSerial& s = w.module.Serial();
    switch (e.act) {
    case ModemAct::Disc: s.SendDisc(e.dlci); break;
    case ModemAct::Sabm: s.SendSabm(e.dlci); break;
    case ModemAct::Dm: s.SendRaw(sim::BuildFrame(e.dlci, false, 0x1F)); break;
    case ModemAct::Cld: s.SendCld(); break;
    case ModemAct::DiscZero: s.SendDisc(0); break;
    case ModemAct::FcOn: s.SendMsc(e.dlci, true); break;
    case ModemAct::FcOff: s.SendMsc(e.dlci, false); break;
    case ModemAct::Break: s.SendBreak(); break;
    case ModemAct::Garbage: s.SendRaw(e.octets); break;
    case ModemAct::Data: s.SendUih(e.dlci, e.octets); break;
    case ModemAct::Crash: w.module.Lines().Crash(); break;
    case ModemAct::Glitch: w.module.Lines().Glitch(); break;
    }
}

void Activate(World& w)
{
    for (const plat::BuiltInActivation& a : plat::ActivateBuiltInDrivers()) {
        for (size_t i = 0; i < w.plan.instances.size(); i++) {
            if (a.key == w.DriverKey(static_cast<int>(i))) w.SetDevice(static_cast<int>(i), a.device);
        }
    }
}

// The fault window: the clients and the modem at their drawn times.
void FaultWindow(World& w)
{
    std::vector<HANDLE> clients;
    for (size_t c = 0; c < w.plan.clients.size(); c++) clients.push_back(StartClient(w, static_cast<int>(c)));
    HANDLE waker = StartWaker(w);
    for (const ModemEvent& e : w.plan.modemEvents) {
        if (e.atMs > plat::NowMs()) Sleep(static_cast<DWORD>(e.atMs - plat::NowMs()));
        ModemDoes(w, e);
    }
    if (w.plan.faultEndMs > plat::NowMs()) Sleep(static_cast<DWORD>(w.plan.faultEndMs - plat::NowMs()));

    const sim::ModuleSettings quiet = Quiet();
    w.module.Serial().ChangeSettings([&](sim::SerialSettings& s) { s = quiet.serial; });
    InterlockedExchange(&w.stop, 1);
    const uint64_t end = plat::NowMs() + w.bounds.clientEndMs;
    for (size_t c = 0; c < clients.size(); c++) {
        const uint64_t now = plat::NowMs();
        if (WaitForSingleObject(clients[c], static_cast<DWORD>(end > now ? end - now : 0)) != WAIT_OBJECT_0) {
            w.Fail("client " + std::to_string(c) + " did not end within " + std::to_string(w.bounds.clientEndMs) +
                   " ms after the faults ended: in " + ClientState(w, static_cast<int>(c)));
        }
    }
    InterlockedExchange(&w.stopWaker, 1);
    WaitForSingleObject(waker, INFINITE);
    CloseHandle(waker);
    w.Note("fault window over, clients ended at " + std::to_string(plat::NowMs()) + " ms");
    // Threads still stuck are released by the deactivation below.
    for (HANDLE t : clients) CloseHandle(t);
}

}  // namespace

Result Run(const Plan& plan, const Bounds& bounds)
{
    Result r;
    plat::BeginSimulation(plan.seed);
    {
        sim::ModuleSettings faulty = Quiet();
        std::string error;
        for (const std::string& f : plan.faults) {
            if (!sim::ApplyModuleSetting(faulty, f, &error)) {
                r.ok = false;
                r.failures.push_back("bad module setting: " + error);
            }
        }
        sim::SimModule module(faulty);
        World w(plan, bounds, module);
        if (!plat::LoadRegText(plan.regText, "soak.reg", &error)) {
            w.Fail("the drawn registry text did not load: " + error);
        } else {
            muxhost::RegisterMuxDriver();
            Activate(w);
            FaultWindow(w);
            CheckRecovery(w);
            for (size_t i = 0; i < plan.instances.size(); i++) {
                HANDLE d = w.Device(static_cast<int>(i));
                if (d != INVALID_HANDLE_VALUE) DeactivateDevice(d);
            }
            plat::UnregisterStreamDriver("MUX");
        }
        muxhost::UnloadMuxDriver();
        r.record = module.Serial().Record();
        r.ok = r.ok && w.result.ok;
        r.failures.insert(r.failures.end(), w.result.failures.begin(), w.result.failures.end());
        r.notes = w.result.notes;
    }
    const int alive = plat::EndSimulation();
    if (alive != 0) {
        r.ok = false;
        r.failures.push_back(std::to_string(alive) + " threads still alive at the end of the run");
    }
    return r;
}

}  // namespace soak
