#include "SimInternal.h"

#include "Platform.h"

namespace stbsim {

namespace {
// Unwritten DDR holds whatever it powered up with: a fixed scramble of the
// address, so that a test never passes by reading zeros.
uint32_t power_up_value(uint32_t p)
{
    uint32_t x = p * 0x9E3779B1u;
    x ^= x >> 15;
    x *= 0x85EBCA77u;
    x ^= x >> 13;
    return x;
}
}  // namespace

Memory::Memory(const Options& o)
    : base_ready_(bootlink::platform(o.platform).ddr_works_from_reset())
    , strap_(o.strap)
    , dma_delay_ms_(o.dma_delay_ms)
    , clk_ok_(o.clock_cal_ok)
    , dll_ok_(o.dll_ok)
    , clk_val_(o.clock_value)
    , dll_val_(o.dll_value)
{
    for (int i = 0; i < 4; ++i)
        win_[i] = o.ddr[i];
    ddr_ready_ = base_ready_;
    if (o.fpga)
        fpga_ = std::make_unique<FpgaBoard>(o.fpga_windows);
}

uint32_t Memory::phys(uint32_t a)
{
    if (a >= 0x80000000u && a < 0xC0000000u)
        return a & 0x1FFFFFFFu;
    return a;
}

uint32_t Memory::peek_locked(uint32_t p) const
{
    auto it = words_.find(p & ~3u);
    if (it != words_.end())
        return it->second;
    return p < 0x10000000u ? power_up_value(p & ~3u) : 0;
}

uint32_t Memory::peek(uint32_t address) const
{
    std::lock_guard<std::mutex> l(m_);
    return peek_locked(phys(address));
}

void Memory::poke(uint32_t address, uint32_t value)
{
    std::lock_guard<std::mutex> l(m_);
    words_[phys(address) & ~3u] = value;
}

bool Memory::ddr_ok_locked() const
{
    if (ddr_ready_)
        return true;
    uint32_t rise = peek_locked(phys(kDdrRise));
    uint32_t latch = peek_locked(phys(kDdrLatch));
    uint32_t delay = (peek_locked(phys(kDdrDelay)) >> 16) & 0x3Fu;
    int rising = ((rise >> 24) & 3u) == 3u ? 1 : 0;
    int negative = ((latch >> 8) & 0xFu) == 0xFu ? 1 : 0;
    const DdrWindow& w = win_[2 * rising + negative];
    if (w.start < 0 || w.end < w.start)
        return false;
    uint32_t read_add = (latch >> 16) & 7u;
    return static_cast<int>(delay) >= w.start && static_cast<int>(delay) <= w.end &&
           static_cast<int>(read_add) == w.read_add;
}

bool Memory::ddr_ok() const
{
    std::lock_guard<std::mutex> l(m_);
    return ddr_ok_locked();
}

void Memory::set_ddr_ready(bool on)
{
    std::lock_guard<std::mutex> l(m_);
    ddr_ready_ = on;
}

uint32_t Memory::read(uint32_t address)
{
    std::lock_guard<std::mutex> l(m_);
    uint32_t p = phys(address);
    if (p == phys(kStrap))
        return strap_;
    if (p == phys(kDmaStart)) {
        if (dma_busy_ && dma_delay_ms_ >= 0 && Clock::now() >= dma_done_)
            dma_busy_ = false;
        return dma_busy_ ? 0x80000002u : 0;
    }
    if (p == phys(kDdrClkSta))
        return (clk_started_ && clk_ok_) ? (((clk_val_ & 0x3Fu) << 16) | 0x11u) : 0;
    if (p == phys(kDdrDllSta))
        return (dll_started_ && dll_ok_) ? (((dll_val_ & 0x3Fu) << 16) | 0x11u) : 0;
    uint32_t v = peek_locked(p);
    // With the wrong clock delay or read-add value every lane reads back
    // with a flipped bit.
    if (p < 0x10000000u && !ddr_ok_locked())
        v ^= 0x00010001u;
    if (p < 0x10000000u && fpga_)
        v = fpga_->on_read(v);
    return v;
}

void Memory::write(uint32_t address, uint32_t value)
{
    std::lock_guard<std::mutex> l(m_);
    uint32_t p = phys(address) & ~3u;
    if (p == phys(kStrap))
        return;  // read-only
    words_[p] = value;
    if (fpga_)
        fpga_->on_write(p, value);
    if (p == phys(kDdrClkCtl) && (value & 0x00FFFFFFu) == 0x010020u) {
        clk_started_ = true;
    } else if (p == phys(kDdrDllCtl) && (value & 0xFFFFu) == 0x0010u) {
        dll_started_ = true;
    } else if (p == phys(kDmaStart) && (value & 2u)) {
        // The copy happens at once; the busy bit tells the host when it may look.
        uint32_t src = peek_locked(phys(kDmaSrc)) & 0x0FFFFFFFu;
        uint32_t dst = peek_locked(phys(kDmaDst)) & 0x0FFFFFFFu;
        uint32_t len = peek_locked(phys(kDmaCtl)) & 0xFFFFu;
        for (uint32_t off = 0; off < len; off += 4)
            words_[(dst + off) & ~3u] = peek_locked((src + off) & ~3u);
        ++dma_starts_;
        dma_busy_ = true;
        dma_done_ = Clock::now() + std::chrono::milliseconds(dma_delay_ms_ < 0 ? 0 : dma_delay_ms_);
    }
}

void Memory::reset()
{
    std::lock_guard<std::mutex> l(m_);
    for (auto it = words_.begin(); it != words_.end();) {
        if (it->first >= 0x10000000u)
            it = words_.erase(it);
        else
            ++it;
    }
    ddr_ready_ = base_ready_;  // project types 0 and 1 need no DDR calibration
    dma_busy_ = false;
    clk_started_ = dll_started_ = false;
    if (fpga_)
        fpga_->reset();
}

void Memory::set_dma_delay(int ms)
{
    std::lock_guard<std::mutex> l(m_);
    dma_delay_ms_ = ms;
}

void Memory::set_ddr_window(int range, DdrWindow w)
{
    if (range < 0 || range > 3)
        return;
    std::lock_guard<std::mutex> l(m_);
    win_[range] = w;
}

void Memory::set_strap(uint32_t v)
{
    std::lock_guard<std::mutex> l(m_);
    strap_ = v;
}

void Memory::set_clock(bool ok, uint32_t v)
{
    std::lock_guard<std::mutex> l(m_);
    clk_ok_ = ok;
    clk_val_ = v;
}

void Memory::set_dll(bool ok, uint32_t v)
{
    std::lock_guard<std::mutex> l(m_);
    dll_ok_ = ok;
    dll_val_ = v;
}

uint64_t Memory::dma_starts() const
{
    std::lock_guard<std::mutex> l(m_);
    return dma_starts_;
}

FpgaDelays Memory::fpga_delays() const
{
    std::lock_guard<std::mutex> l(m_);
    return fpga_ ? fpga_->delays() : FpgaDelays{};
}

std::string Memory::fpga_status() const
{
    std::lock_guard<std::mutex> l(m_);
    return fpga_ ? fpga_->status_line() : std::string();
}

}  // namespace stbsim
