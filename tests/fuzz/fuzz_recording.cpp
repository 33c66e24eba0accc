// Recording reader: file header, index or chunk walk, decompression and every record body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "record/reader.hpp"
#include "record/records.hpp"

using namespace vx::rec;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string err;
    auto r = Reader::open_memory(data, size, err);
    if (!r) return 0;
    std::vector<uint8_t> raw;
    std::vector<RecordView> recs;
    for (size_t i = 0; i < r->chunks().size(); ++i) {
        if (!r->load(i, raw, recs, err)) break;
        for (const RecordView& v : recs) {
            std::vector<vexel_ll_param_rec> params;
            Settings s;
            vexel_lens_param lens{};
            FileRec file;
            FrameRec frame;
            EventRec event;
            RegWriteRec write;
            ParamSetRec set;
            switch (v.kind) {
                case Kind::identity: decode_params(v, params); break;
                case Kind::settings: decode_settings(v, s); break;
                case Kind::lens: decode_lens(v, lens); break;
                case Kind::file: decode_file(v, file); break;
                case Kind::frame:
                    // The frame bytes lie inside the chunk: touch the last one.
                    if (decode_frame(v, frame) && frame.bytes[frame.info.frlen - 1] == 0xA5) err.clear();
                    break;
                case Kind::event: decode_event(v, event); break;
                case Kind::reg_write: decode_reg_write(v, write); break;
                case Kind::param_set: decode_param_set(v, set); break;
                default: break;
            }
        }
    }
    return 0;
}
