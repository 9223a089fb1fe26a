#include "sim/module_serial.h"

#include "platform/host.h"
#include "platform/kernel/kernel.h"

#include <algorithm>

namespace sim {

using plat::kernel::Lock;
using plat::kernel::Mutex;

ModuleSerial::ModuleSerial(const SerialSettings& settings, ModuleLines& lines)
    : settings_(settings), lines_(lines), uart_(std::make_unique<plat::serial::SimUart>())
{
    Lock lock(Mutex());
    uart_->AttachPeer(this);
    uart_->SetPeerBaud(settings_.atBaud);
    uart_->SetTransmitFifo(settings_.hostTransmitFifo);
    cutter_.onFrame = [this](const std::vector<uint8_t>& f) { OnFrame(f); };
    cutter_.onNoise = [this](const std::vector<uint8_t>& n) {
        Record(Direction::HostToModule, RecordKind::Noise, n);
    };
    for (const LineEvent& e : settings_.lineEvents) {
        scheduled_.push_back(plat::kernel::CallAt(e.atMs, [this, e] {
            if (e.errors) uart_->SendLineErrorToHost(e.errors);
            else uart_->SendBreakToHost();
        }));
    }
    ScheduleControlFaults();
    ScheduleModemEvents();
    PowerDown(Mode::Off);
    lines_.SetObserver([this] { OnLines(); });
    OnLines();
}

ModuleSerial::~ModuleSerial()
{
    Lock lock(Mutex());
    lines_.SetObserver(nullptr);
    CancelReplies();
    for (uint64_t id : scheduled_) plat::kernel::Cancel(id);
    if (trafficTimer_ != 0) plat::kernel::Cancel(trafficTimer_);
    if (chunkTimer_ != 0) plat::kernel::Cancel(chunkTimer_);
    uart_->AttachPeer(nullptr);
    uart_.reset();
}

ModuleSerial::Mode ModuleSerial::GetMode() const
{
    Lock lock(Mutex());
    return mode_;
}

SerialSettings ModuleSerial::Settings() const
{
    Lock lock(Mutex());
    return settings_;
}

void ModuleSerial::ChangeSettings(const std::function<void(SerialSettings&)>& change)
{
    Lock lock(Mutex());
    change(settings_);
}

// ---- life, following the line half ----

void ModuleSerial::OnLines()
{
    const ModuleState state = lines_.State();
    const unsigned resets = lines_.ResetsSeen();
    const bool rebooted = resets != lastResets_;
    if (state == lastState_ && !rebooted) return;
    lastResets_ = resets;
    if (state == ModuleState::Running && (lastState_ != ModuleState::Running || rebooted)) {
        lastState_ = state;
        Boot();
        return;
    }
    lastState_ = state;
    if (state == ModuleState::Crashed && settings_.crash.answer) PowerDown(Mode::Crashed);
    else if (state != ModuleState::Running) PowerDown(Mode::Off);
}

void ModuleSerial::Boot()
{
    PowerDown(Mode::AtCommand);
    uart_->SetPeerBaud(settings_.atBaud);
}

void ModuleSerial::PowerDown(Mode mode)
{
    CancelReplies();
    // Output still waiting for its chunk dies with the module.
    chunk_.clear();
    if (chunkTimer_ != 0) {
        plat::kernel::Cancel(chunkTimer_);
        chunkTimer_ = 0;
    }
    mode_ = mode;
    atLine_.clear();
    lastAtEndedWithCr_ = false;
    cutter_.Reset();
    open_ = 0;
    hostStopped_ = 0;
    moduleStopped_ = moduleStopAcked_ = 0;
    fcOffSent_ = fcOffAcked_ = false;
    dlci0Connected_ = false;
    closingMux_ = false;
    n1_ = settings_.modem.n1;
    ModemsOff();
    uartModem_ = std::make_unique<AtModem>(settings_.modem, settings_.uartEcho);
    uartModem_->SetExtension([this](const std::string& cmd, std::string*, bool* ok) {
        return CmuxCommand(cmd, ok);
    });
}

void ModuleSerial::CancelReplies()
{
    for (uint64_t id : timers_) plat::kernel::Cancel(id);
    timers_.clear();
}

void ModuleSerial::Later(uint32_t delayMs, std::function<void()> fn)
{
    if (delayMs == 0) {
        fn();
        return;
    }
    auto id = std::make_shared<uint64_t>(0);
    *id = plat::kernel::CallAt(plat::NowMs() + delayMs, [this, id, fn] {
        timers_.erase(*id);
        fn();
    });
    timers_.insert(*id);
}

// ---- the line ----

void ModuleSerial::Record(Direction dir, RecordKind kind, std::vector<uint8_t> octets,
                          uint64_t lastOctetAtMs)
{
    RecordEntry e;
    e.timeMs = lastOctetAtMs ? lastOctetAtMs : plat::NowMs();
    e.direction = dir;
    e.kind = kind;
    e.octets = std::move(octets);
    // In time order: a write of ours is stamped when its last octet leaves,
    // which may be after octets from the host that arrive meanwhile.
    auto at = record_.end();
    while (at != record_.begin() && std::prev(at)->timeMs > e.timeMs) --at;
    record_.insert(at, std::move(e));
    TrimOldest(record_, settings_.recordLimit);
}

void ModuleSerial::Write(std::vector<uint8_t> octets, bool text)
{
    ++writes_;
    if (!text && octets.size() >= 6 && octets.front() == 0xF9 && octets.back() == 0xF9 &&
        settings_.badFcsToHost.count(framesToHost_++)) {
        octets[octets.size() - 2] ^= 0xFF;
    }
    std::vector<uint8_t> line;
    // Offsets in `line` where a split rule cuts, with its gap.
    std::vector<std::pair<size_t, uint32_t>> cuts;
    std::vector<WriteSplit> rules;
    for (const WriteSplit& s : settings_.splits)
        if (s.write == 0 || s.write == writes_) rules.push_back(s);
    rules.insert(rules.end(), pendingSplits_.begin(), pendingSplits_.end());
    pendingSplits_.clear();
    for (size_t i = 0; i < octets.size(); ++i) {
        for (const WriteSplit& s : rules)
            if (s.at == i && i > 0) cuts.emplace_back(line.size(), s.gapMs);
        const uint64_t index = txIndex_++;
        if (settings_.dropToHost.count(index)) continue;
        uint8_t o = octets[i];
        if (settings_.corruptToHost.count(index)) o ^= settings_.corruptXor;
        line.push_back(o);
    }
    if (line.empty()) return;
    if (settings_.chunkOctets != 0) {
        // Splits have no meaning here: the chunk decides when octets arrive.
        ChunkOut(line);
    } else {
        uint64_t notBefore = 0;
        size_t from = 0;
        for (const auto& cut : cuts) {
            if (cut.first <= from || cut.first >= line.size()) continue;
            uart_->SendToHost(&line[from], cut.first - from, notBefore);
            notBefore = std::max(notBefore, uart_->ToHostIdleAtMs()) + cut.second;
            from = cut.first;
        }
        uart_->SendToHost(&line[from], line.size() - from, notBefore);
    }
    lines_.NoteActivity();
    // What went over the line, after the faults: a frame only if it still is one.
    DecodedFrame f;
    const RecordKind kind = text                       ? RecordKind::At
                            : DecodeFrame(line, &f) ? RecordKind::Frame
                                                    : RecordKind::Noise;
    Record(Direction::ModuleToHost, kind, std::move(line), uart_->ToHostIdleAtMs());
}

void ModuleSerial::ChunkOut(const std::vector<uint8_t>& line)
{
    const bool first = chunk_.empty();
    chunk_.insert(chunk_.end(), line.begin(), line.end());
    FlushChunks(false);
    if (first && !chunk_.empty() && chunkTimer_ == 0) {
        chunkTimer_ = plat::kernel::CallAt(plat::NowMs() + settings_.chunkHoldMs, [this] {
            chunkTimer_ = 0;
            FlushChunks(true);
        });
    }
}

// Whole chunks go at once; with `all` the rest as well.
void ModuleSerial::FlushChunks(bool all)
{
    const size_t size = settings_.chunkOctets ? settings_.chunkOctets : chunk_.size();
    size_t from = 0;
    while (chunk_.size() - from >= size || (all && from < chunk_.size())) {
        const size_t n = std::min(size, chunk_.size() - from);
        uart_->SendChunkToHost(&chunk_[from], n);
        from += n;
    }
    chunk_.erase(chunk_.begin(), chunk_.begin() + from);
    if (chunk_.empty() && chunkTimer_ != 0) {
        plat::kernel::Cancel(chunkTimer_);
        chunkTimer_ = 0;
    }
}

void ModuleSerial::OctetFromHost(uint8_t octet, bool garbled)
{
    (void)garbled;
    const uint64_t index = rxIndex_++;
    const bool crashed = mode_ == Mode::Crashed && lines_.State() == ModuleState::Crashed;
    if (mode_ == Mode::Off || (lines_.State() != ModuleState::Running && !crashed) ||
        (settings_.loseOctetsWhileAsleep && lines_.Asleep()) ||
        settings_.dropFromHost.count(index)) {
        ++lost_;
        return;
    }
    if (settings_.corruptFromHost.count(index)) octet ^= settings_.corruptXor;
    ++octetsFromHost_;
    lines_.NoteActivity();
    if (mode_ == Mode::AtCommand) AtOctet(octet);
    else if (mode_ == Mode::Crashed) CrashedOctet(octet);
    else MuxOctet(octet);
}

void ModuleSerial::MuxOctet(uint8_t octet)
{
    const uint64_t now = plat::NowMs();
    if (settings_.frameGapMs && cutter_.InFrame() && now - lastMuxOctetMs_ >= settings_.frameGapMs) cutter_.Reset();
    lastMuxOctetMs_ = now;
    cutter_.Feed(octet);
}

// ---- what happened ----

FrameRecord ModuleSerial::Record() const
{
    Lock lock(Mutex());
    return record_;
}

void ModuleSerial::ClearRecord()
{
    Lock lock(Mutex());
    record_.clear();
}

bool ModuleSerial::DlciOpen(int dlci) const
{
    Lock lock(Mutex());
    return DlciBit(open_, dlci);
}

bool ModuleSerial::HostStoppedFlow(int dlci) const
{
    Lock lock(Mutex());
    return DlciBit(hostStopped_, dlci);
}

std::vector<uint8_t> ModuleSerial::DataFromHost(int dlci) const
{
    Lock lock(Mutex());
    auto it = dataFromHost_.find(dlci);
    return it != dataFromHost_.end() ? it->second : std::vector<uint8_t>();
}

std::vector<HostControlMessage> ModuleSerial::ControlFromHost() const
{
    Lock lock(Mutex());
    return controlFromHost_;
}

uint64_t ModuleSerial::OctetsFromHost() const
{
    Lock lock(Mutex());
    return octetsFromHost_;
}

uint64_t ModuleSerial::OctetsLost() const
{
    Lock lock(Mutex());
    return lost_;
}

unsigned ModuleSerial::BadFcsFrames() const
{
    Lock lock(Mutex());
    return badFcs_;
}

unsigned ModuleSerial::CmuxCommands() const
{
    Lock lock(Mutex());
    return cmuxCommands_;
}

uint32_t ModuleSerial::LastCmuxHostBaud() const
{
    Lock lock(Mutex());
    return cmuxHostBaud_;
}

void ModuleSerial::SetUserDataHandler(std::function<void(int, const std::vector<uint8_t>&)> handler)
{
    Lock lock(Mutex());
    userData_ = std::move(handler);
}

// ---- actions ----

void ModuleSerial::SendMsc(int dlci, bool fc)
{
    Lock lock(Mutex());
    MscCommand(dlci, fc);
}

void ModuleSerial::SendSabm(int dlci)
{
    Lock lock(Mutex());
    Write(BuildFrame(dlci, false, kSabm | kPf));
}

void ModuleSerial::SendDisc(int dlci)
{
    Lock lock(Mutex());
    Write(BuildFrame(dlci, false, kDisc | kPf));
}

void ModuleSerial::SendCld()
{
    Lock lock(Mutex());
    SendControl(BuildControlMessage(0xC3, {}));
}

void ModuleSerial::SendUih(int dlci, const std::vector<uint8_t>& info)
{
    Lock lock(Mutex());
    WriteOrHold(BuildFrame(dlci, false, kUih, info));
}

void ModuleSerial::SendRaw(const std::vector<uint8_t>& octets, uint64_t atMs)
{
    Lock lock(Mutex());
    auto send = [this, octets] {
        Write(octets);
    };
    const uint64_t now = plat::NowMs();
    if (atMs > now) Later(static_cast<uint32_t>(atMs - now), send);
    else send();
}

void ModuleSerial::SendBreak(uint64_t atMs)
{
    Lock lock(Mutex());
    uart_->SendBreakToHost(atMs);
}

void ModuleSerial::SendLineError(uint32_t errors, bool withOctet, uint8_t octet, uint64_t atMs)
{
    Lock lock(Mutex());
    uart_->SendLineErrorToHost(errors, withOctet, octet, atMs);
}

void ModuleSerial::StartTraffic(uint32_t periodMs,
                                std::function<std::vector<uint8_t>(unsigned)> frame)
{
    Lock lock(Mutex());
    traffic_ = std::move(frame);
    trafficPeriodMs_ = periodMs ? periodMs : 1;
    if (trafficTimer_ == 0)
        trafficTimer_ =
            plat::kernel::CallAt(plat::NowMs() + trafficPeriodMs_, [this] { TrafficTick(); });
}

void ModuleSerial::StopTraffic()
{
    Lock lock(Mutex());
    if (trafficTimer_ != 0) plat::kernel::Cancel(trafficTimer_);
    trafficTimer_ = 0;
    traffic_ = nullptr;
}

void ModuleSerial::TrafficTick()
{
    trafficTimer_ = 0;
    if (!traffic_) return;
    if (mode_ != Mode::Off && lines_.State() == ModuleState::Running && dlci0Connected_) {
        std::vector<uint8_t> octets = traffic_(trafficCount_++);
        if (!octets.empty()) WriteOrHold(std::move(octets));
    }
    trafficTimer_ =
        plat::kernel::CallAt(plat::NowMs() + trafficPeriodMs_, [this] { TrafficTick(); });
}

void ModuleSerial::SplitNextWrite(uint32_t at, uint32_t gapMs)
{
    Lock lock(Mutex());
    pendingSplits_.push_back(WriteSplit{0, at, gapMs});
}

void ModuleSerial::EnterMux(uint32_t baud)
{
    Lock lock(Mutex());
    CancelReplies();
    mode_ = Mode::Mux;
    cutter_.Reset();
    uart_->SetPeerBaud(baud);
}

}  // namespace sim
