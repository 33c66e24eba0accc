#include "sim/replay/recording_source.hpp"

#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "record/reader.hpp"
#include "record/records.hpp"
#include "sim/calib/calib_package.hpp"

namespace vxsim {

namespace {

using vx::rec::Kind;
using vx::rec::Reader;
using vx::rec::RecordView;

std::vector<uint8_t> value_of(const vexel_ll_param_rec& p) {
    return {p.val, p.val + std::min<size_t>(p.len, sizeof p.val)};
}

std::string text_of(const vexel_ll_param_rec& p) {
    std::string s;
    for (size_t i = 0; i < std::min<size_t>(p.len, sizeof p.val) && p.val[i]; ++i) s += static_cast<char>(p.val[i]);
    return s;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// The recorded frames in order, one chunk in memory at a time. The camera calls next() under
// its lock, so a chunk's decompression (a few milliseconds) holds the bus that long.
class RecordingFrames final : public FrameSource {
public:
    RecordingFrames(std::unique_ptr<Reader> r, std::string path, bool loop)
        : reader_(std::move(r)), path_(std::move(path)), loop_(loop) {}

    bool next(ReplayFrame& f) override {
        while (!done_) {
            while (at_ < records_.size()) {
                const RecordView& r = records_[at_++];
                vx::rec::FrameRec fr;
                if (r.kind != Kind::frame || !vx::rec::decode_frame(r, fr)) continue;
                f.index = fr.info.fridx;
                f.format = fr.info.frfmt;
                f.width = fr.info.width;
                f.height = fr.info.height;
                f.sensor_temp = fr.info.sensor_temp;
                f.illum_temp = fr.info.illum_temp;
                f.spare = fr.info.spare;
                f.bytes.assign(fr.bytes, fr.bytes + fr.info.frlen);
                ++served_;
                return true;
            }
            if (chunk_ == reader_->chunks().size()) {
                if (!reader_->damage().empty())
                    std::fprintf(stderr, "vexel-sim: %s: %s\n", path_.c_str(), reader_->damage().c_str());
                // A loop over a recording without frames would spin under the camera's lock.
                if (!loop_ || served_ == 0) break;
                chunk_ = 0;
            }
            std::string err;
            records_.clear();
            at_ = 0;
            if (!reader_->load(chunk_++, raw_, records_, err)) {
                std::fprintf(stderr, "vexel-sim: %s: %s; the camera sends no more frames\n", path_.c_str(),
                             err.c_str());
                break;
            }
        }
        done_ = true;
        return false;
    }

private:
    std::unique_ptr<Reader> reader_;
    std::string path_;
    bool loop_;
    size_t chunk_ = 0;
    std::vector<uint8_t> raw_;
    std::vector<RecordView> records_;
    size_t at_ = 0;
    uint64_t served_ = 0;
    bool done_ = false;
};

}  // namespace

bool replay_recording(const std::string& path, bool loop, CameraOptions& opt, std::string& err) {
    std::unique_ptr<Reader> reader = Reader::open(path, err);
    if (!reader) return false;

    // The start records come before the first frame, in the first chunks.
    std::vector<vexel_ll_param_rec> identity;
    vx::rec::Settings settings;
    std::vector<uint8_t> calib_params, calib_images;
    bool have_identity = false, have_settings = false;
    std::vector<uint8_t> raw;
    std::vector<RecordView> records;
    for (size_t c = 0; c < reader->chunks().size() && reader->chunks()[c].head.frames == 0; ++c) {
        if (!reader->load(c, raw, records, err)) return false;
        for (const RecordView& r : records) {
            vx::rec::FileRec file;
            if (r.kind == Kind::identity && !have_identity) {
                have_identity = vx::rec::decode_params(r, identity);
            } else if (r.kind == Kind::settings && !have_settings) {
                have_settings = vx::rec::decode_settings(r, settings);
            } else if (r.kind == Kind::file && vx::rec::decode_file(r, file)) {
                if (file.role == vx::rec::FileRole::calib_params) calib_params.assign(file.data, file.data + file.size);
                if (file.role == vx::rec::FileRole::calib_images) calib_images.assign(file.data, file.data + file.size);
            }
        }
    }
    if (!have_identity) {
        err = path + ": the recording does not hold the camera's identity";
        return false;
    }

    uint32_t calib_version = 1;
    for (const vexel_ll_param_rec& p : identity) {
        const std::vector<uint8_t> v = value_of(p);
        switch (p.id) {
            case 2: opt.serial = text_of(p); break;
            case 3: opt.product = text_of(p); break;
            case 6:
                if (v.size() >= 4) opt.firmware_version = le16(v.data() + 2);
                break;
            case 7:
                if (v.size() >= 6) {
                    opt.part_version = le16(v.data());
                    opt.chip_number = le16(v.data() + 2);
                    opt.wafer_id = le16(v.data() + 4);
                }
                break;
            case 8:
                if (v.size() >= kCalibRecordBytes) calib_version = CalibRecord::parse(v.data()).version;
                continue;  // the package below answers parameter 8
            default: break;
        }
        opt.params[p.id] = v;
    }
    // Parameter 0 is the mode the host sets; the others are the settings recording began with.
    for (const vexel_ll_param_rec& p : settings.params)
        if (p.id != 0) opt.params[p.id] = value_of(p);

    if (!calib_params.empty() && !calib_images.empty()) {
        char name[40];
        std::snprintf(name, sizeof name, "calib_and_param_%03u.bin", unsigned{opt.chip_number});
        ZipEntry entry{name, std::move(calib_params), false};
        entry.data.insert(entry.data.end(), calib_images.begin(), calib_images.end());
        opt.calib_package = CalibPackage::bytes;
        opt.calib_package_bytes = calib_package_from_zip(zip_archive({entry}), calib_version);
    } else {
        opt.calib_package = CalibPackage::none;
    }
    opt.frames = std::make_shared<RecordingFrames>(std::move(reader), path, loop);
    return true;
}

}  // namespace vxsim
