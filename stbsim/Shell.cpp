// "shell.img": reads of the flash through the memory-mapped window.
#include "ProgramKit.h"

#include <ByteOrder.h>
#include <Platform.h>
#include <kvcrc.h>

#include <algorithm>
#include <cstring>

namespace stbsim {

Next run_shell(Box& b)
{
    b.set_prog(Prog::Shell);
    b.in_session = true;
    uint64_t reads = 0;
    for (;;) {
        int c = b.get(-1);
        if (c != 0x23) {
            if (c >= 0)
                b.trace("shell: 0x%02X ignored", c);
            continue;
        }
        uint8_t q[16];
        if (!b.get_n(q, 16, 1000)) {
            b.trace("shell: request broke off");
            continue;
        }
        uint32_t addr = kv::get_le32(q + 8), v = kv::get_le32(q + 12);
        if (q[0] != 0x03 || q[1] || q[2] || q[3] || kv::get_le32(q + 4) != 8 || addr < 0x08000000u || v < 4 ||
            v - 4 > 65536) {
            b.trace("shell: request refused");
            b.drain_quiet(200);
            continue;
        }
        uint32_t len = v - 4;
        ++reads;
        b.count([](Counters& x) { ++x.shell_reads; });
        b.trace("shell: read %u bytes at 0x%08X", len, addr);
        Reaction re = react(b, FaultOn::Command, reads, 0x03);
        if (re.lost)
            continue;
        FaultSpec af;
        if (b.faults.fire(FaultKind::Addr, FaultOn::Command, reads, 0x03, &af)) {
            b.count([](Counters& x) { ++x.faults_fired; });
            b.trace("fault: the read at 0x%08X is answered with the next chunk", addr);
            addr += len;
        }
        std::vector<uint8_t> out = {0x23, 0x83, 0x00};
        kv::append_le32(out, addr);
        kv::append_le16(out, static_cast<uint16_t>(len));
        size_t at = out.size();
        out.resize(at + len);
        b.flash.read(addr - 0x08000000u, out.data() + at, len);
        uint32_t crc = kv::crc32(out.data() + at, len);
        if (len && fault(b, FaultKind::Dump, FaultOn::Chunk, reads)) {
            b.trace("fault: chunk at 0x%08X corrupted", addr);
            out[at + len / 2] ^= 0x5A;
        }
        kv::append_le32(out, crc);
        answer_with(b, re, out);
    }
}

}  // namespace stbsim
