// Record bodies, little-endian, every count checked against the body before it is used.
#include "record/records.hpp"

#include <cstring>

namespace vx::rec {

namespace {

void put_param(Out& o, const vexel_ll_param_rec& p) { o.raw(&p, sizeof p); }

bool get_params(In& in, uint32_t count, std::vector<vexel_ll_param_rec>& out) {
    if (count > kMaxParams || size_t{count} * sizeof(vexel_ll_param_rec) > in.left()) return false;
    out.resize(count);
    for (auto& p : out) std::memcpy(&p, in.take(sizeof p), sizeof p);
    return in.ok();
}

void put_block(Out& o, const RegBlock& b) {
    o.u8(b.target);
    o.u8(0);
    o.u16(0);
    o.u32(b.base);
    o.u32(static_cast<uint32_t>(b.values.size()));
    for (uint32_t v : b.values) o.u32(v);
}

bool get_block(In& in, RegBlock& b) {
    b.target = in.u8();
    in.u8();
    in.u16();
    b.base = in.u32();
    const uint32_t n = in.u32();
    if (!in.ok() || n > kMaxRegisters || size_t{n} * 4 > in.left()) return false;
    b.values.resize(n);
    for (uint32_t& v : b.values) v = in.u32();
    return in.ok();
}

}  // namespace

std::vector<uint8_t> encode_params(const std::vector<vexel_ll_param_rec>& params) {
    Out o;
    o.u32(static_cast<uint32_t>(params.size()));
    for (const auto& p : params) put_param(o, p);
    return std::move(o.bytes);
}

std::vector<uint8_t> encode_settings(const Settings& s) {
    Out o;
    o.u64(s.time_ns);
    o.u32(static_cast<uint32_t>(s.params.size()));
    for (const auto& p : s.params) put_param(o, p);
    o.u32(static_cast<uint32_t>(s.regs.size()));
    for (const RegBlock& b : s.regs) put_block(o, b);
    return std::move(o.bytes);
}

std::vector<uint8_t> encode_lens(const vexel_lens_param& l) {
    Out o;
    o.f64(l.cx);
    o.f64(l.cy);
    o.f64(l.fx);
    o.f64(l.fy);
    for (double d : l.dcoeff) o.f64(d);
    o.u32(static_cast<uint32_t>(l.img_w));
    o.u32(static_cast<uint32_t>(l.img_h));
    return std::move(o.bytes);
}

std::vector<uint8_t> encode_file(FileRole role, const std::string& name, const std::vector<uint8_t>& data) {
    Out o;
    o.u8(static_cast<uint8_t>(role));
    o.u8(static_cast<uint8_t>(name.size()));
    o.raw(name.data(), name.size());
    o.u32(static_cast<uint32_t>(data.size()));
    o.raw(data.data(), data.size());
    return std::move(o.bytes);
}

std::vector<uint8_t> encode_event(const EventRec& e) {
    Out o;
    o.u64(e.time_ns);
    o.u32(static_cast<uint32_t>(e.code));
    o.u32(e.arg);
    return std::move(o.bytes);
}

std::vector<uint8_t> encode_reg_write(uint64_t time_ns, bool ok, const RegBlock& b) {
    Out o;
    o.u64(time_ns);
    o.u8(ok ? 1 : 0);
    put_block(o, b);
    return std::move(o.bytes);
}

std::vector<uint8_t> encode_param_set(uint64_t time_ns, bool ok, const vexel_ll_param_rec* recs, int count) {
    Out o;
    o.u64(time_ns);
    o.u8(ok ? 1 : 0);
    o.u32(static_cast<uint32_t>(count));
    for (int i = 0; i < count; ++i) put_param(o, recs[i]);
    return std::move(o.bytes);
}

void encode_frame_head(Out& o, uint64_t time_ns, const vx_stream_frame_info& info) {
    o.u64(time_ns);
    o.u32(info.frlen);
    o.u16(info.fridx);
    o.u16(info.frfmt);
    o.u16(info.width);
    o.u16(info.height);
    o.u16(static_cast<uint16_t>(info.sensor_temp));
    o.u16(static_cast<uint16_t>(info.illum_temp));
    o.u32(info.spare);
}

bool decode_params(const RecordView& r, std::vector<vexel_ll_param_rec>& out) {
    In in(r.body, r.size);
    const uint32_t n = in.u32();
    return in.ok() && get_params(in, n, out) && in.left() == 0;
}

bool decode_settings(const RecordView& r, Settings& out) {
    In in(r.body, r.size);
    out.time_ns = in.u64();
    const uint32_t np = in.u32();
    if (!in.ok() || !get_params(in, np, out.params)) return false;
    const uint32_t nb = in.u32();
    if (!in.ok() || nb > kMaxParams) return false;
    out.regs.clear();
    for (uint32_t i = 0; i < nb; ++i) {
        RegBlock b;
        if (!get_block(in, b)) return false;
        out.regs.push_back(std::move(b));
    }
    return in.left() == 0;
}

bool decode_lens(const RecordView& r, vexel_lens_param& out) {
    In in(r.body, r.size);
    out.cx = in.f64();
    out.cy = in.f64();
    out.fx = in.f64();
    out.fy = in.f64();
    for (double& d : out.dcoeff) d = in.f64();
    out.img_w = static_cast<int32_t>(in.u32());
    out.img_h = static_cast<int32_t>(in.u32());
    return in.ok() && in.left() == 0;
}

bool decode_file(const RecordView& r, FileRec& out) {
    In in(r.body, r.size);
    const uint8_t role = in.u8();
    const uint8_t len = in.u8();
    const uint8_t* name = in.take(len);
    const uint32_t size = in.u32();
    const uint8_t* data = in.take(size);
    if (!in.ok() || in.left() != 0 || role < 1 || role > 3 || len == 0) return false;
    out.role = static_cast<FileRole>(role);
    out.name.assign(reinterpret_cast<const char*>(name), len);
    // A plain name only: the file is written under the path prefix and nowhere else.
    if (out.name.find('/') != std::string::npos || out.name.find('\\') != std::string::npos ||
        out.name.find('\0') != std::string::npos || out.name == "." || out.name == "..")
        return false;
    out.data = data;
    out.size = size;
    return true;
}

bool decode_frame(const RecordView& r, FrameRec& out) {
    In in(r.body, r.size);
    out.time_ns = in.u64();
    out.info.frlen = in.u32();
    out.info.fridx = in.u16();
    out.info.frfmt = in.u16();
    out.info.width = in.u16();
    out.info.height = in.u16();
    out.info.sensor_temp = static_cast<int16_t>(in.u16());
    out.info.illum_temp = static_cast<int16_t>(in.u16());
    out.info.spare = in.u32();
    if (!in.ok() || out.info.frlen == 0 || out.info.frlen >= kMaxFrameBytes || out.info.frfmt >= 0x400 ||
        in.left() != out.info.frlen)
        return false;
    out.bytes = in.take(out.info.frlen);
    return out.bytes != nullptr;
}

bool decode_event(const RecordView& r, EventRec& out) {
    In in(r.body, r.size);
    out.time_ns = in.u64();
    out.code = static_cast<int32_t>(in.u32());
    out.arg = in.u32();
    return in.ok() && in.left() == 0;
}

bool decode_reg_write(const RecordView& r, RegWriteRec& out) {
    In in(r.body, r.size);
    out.time_ns = in.u64();
    out.ok = in.u8() != 0;
    return in.ok() && get_block(in, out.block) && in.left() == 0;
}

bool decode_param_set(const RecordView& r, ParamSetRec& out) {
    In in(r.body, r.size);
    out.time_ns = in.u64();
    out.ok = in.u8() != 0;
    const uint32_t n = in.u32();
    return in.ok() && get_params(in, n, out.params) && in.left() == 0;
}

}  // namespace vx::rec
