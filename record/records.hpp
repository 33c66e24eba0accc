// The bodies of the recording's records: what the recorder encodes and playback decodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <vexel/lens.h>
#include <vexel/stream.h>
#include <vexel/transport.h>

#include "record/format.hpp"

namespace vx::rec {

struct RegBlock {
    uint8_t target = 0;
    uint32_t base = 0;
    std::vector<uint32_t> values;
};

struct Settings {
    uint64_t time_ns = 0;
    std::vector<vexel_ll_param_rec> params;
    std::vector<RegBlock> regs;
};

struct FrameRec {
    uint64_t time_ns = 0;
    vx_stream_frame_info info{};
    const uint8_t* bytes = nullptr;  // info.frlen bytes inside the chunk
};

struct EventRec {
    uint64_t time_ns = 0;
    int32_t code = 0;
    uint32_t arg = 0;
};

struct RegWriteRec {
    uint64_t time_ns = 0;
    bool ok = false;
    RegBlock block;
};

struct ParamSetRec {
    uint64_t time_ns = 0;
    bool ok = false;
    std::vector<vexel_ll_param_rec> params;
};

enum class FileRole : uint8_t { calib_params = 1, calib_images = 2, lens_text = 3 };

struct FileRec {
    FileRole role = FileRole::calib_params;
    std::string name;  // a plain file name under the path prefix
    const uint8_t* data = nullptr;
    uint32_t size = 0;
};

std::vector<uint8_t> encode_params(const std::vector<vexel_ll_param_rec>& params);
std::vector<uint8_t> encode_settings(const Settings& s);
std::vector<uint8_t> encode_lens(const vexel_lens_param& l);
std::vector<uint8_t> encode_file(FileRole role, const std::string& name, const std::vector<uint8_t>& data);
std::vector<uint8_t> encode_event(const EventRec& e);
std::vector<uint8_t> encode_reg_write(uint64_t time_ns, bool ok, const RegBlock& b);
std::vector<uint8_t> encode_param_set(uint64_t time_ns, bool ok, const vexel_ll_param_rec* recs, int count);
// The frame record's fixed part; the frame bytes follow it.
void encode_frame_head(Out& o, uint64_t time_ns, const vx_stream_frame_info& info);

// Each false when the body is not a well-formed record of its kind.
bool decode_params(const RecordView& r, std::vector<vexel_ll_param_rec>& out);
bool decode_settings(const RecordView& r, Settings& out);
bool decode_lens(const RecordView& r, vexel_lens_param& out);
bool decode_file(const RecordView& r, FileRec& out);
bool decode_frame(const RecordView& r, FrameRec& out);
bool decode_event(const RecordView& r, EventRec& out);
bool decode_reg_write(const RecordView& r, RegWriteRec& out);
bool decode_param_set(const RecordView& r, ParamSetRec& out);

}  // namespace vx::rec
