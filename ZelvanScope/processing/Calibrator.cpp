#include "processing/Calibrator.h"

#include <QDebug>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr double kDefaultScale = 3.351724137931035;
constexpr double kDefaultInverseScale = 0.29835390946502055;

// The first six numbers of `values` when there are at least six and all are finite.
bool usableTransform(const std::vector<double>& values) {
    if (values.size() < 6) return false;
    for (size_t i = 0; i < 6; ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}

// Truncation toward zero, as the mapping is defined; values beyond the int range are out of any frame.
inline int64_t truncated(double v) {
    if (!(v > -9.0e18 && v < 9.0e18)) return -1;
    return static_cast<int64_t>(v);
}

}  // namespace

Calibrator::Calibrator() {
    const zelvan::CalibratorParameters& p = parameters_;
    forward_ = {kDefaultScale, 0.0, -225.10344827586232, 0.0, kDefaultScale, -126.62068965517255};
    inverse_ = {kDefaultInverseScale,
                0.0,
                double(p.dvs_width >> 1) - double(p.aps_width >> 1) * kDefaultInverseScale,
                0.0,
                kDefaultInverseScale,
                double(p.dvs_height >> 1) - double(p.aps_height >> 1) * kDefaultInverseScale};
}

zelvan::CalibratorParameters Calibrator::defaultParameters() {
    const Calibrator defaults;
    zelvan::CalibratorParameters p;
    const Affine forward = defaults.forwardTransform();
    const Affine inverse = defaults.inverseTransform();
    p.transforms["1"] = std::vector<double>(forward.begin(), forward.end());
    p.transforms["0"] = std::vector<double>(inverse.begin(), inverse.end());
    return p;
}

bool Calibrator::loadCalibrationParam(zelvan::CalibratorParameters& p) {
    const auto forward = p.transforms.find("1");
    const auto inverse = p.transforms.find("0");
    QString why;
    if (forward == p.transforms.end() || inverse == p.transforms.end())
        why = "it lacks the transform \"1\" or \"0\"";
    else if (!usableTransform(forward->second) || !usableTransform(inverse->second))
        why = "a transform has fewer than six finite numbers";
    else if (p.dvs_width != kDvsWidth || p.dvs_height != kDvsHeight)
        why = QString("its event sensor size %1 x %2 is not the sensor's %3 x %4")
                  .arg(p.dvs_width)
                  .arg(p.dvs_height)
                  .arg(kDvsWidth)
                  .arg(kDvsHeight);
    if (why.isEmpty()) {
        // A forward transform that cannot be inverted maps the whole sensor onto a line.
        const std::vector<double>& f = forward->second;
        if (std::fabs(f[4] * f[0] - f[3] * f[1]) < 1e-12) why = "its transform \"1\" is singular";
    }
    if (!why.isEmpty()) {
        qWarning().noquote() << "Calibration not loaded, the transforms in use are kept: " + why + ".";
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    parameters_ = p;
    for (size_t i = 0; i < 6; ++i) {
        forward_[i] = forward->second[i];
        inverse_[i] = inverse->second[i];
    }
    translationX_ = 0.0;
    translationY_ = 0.0;
    return true;
}

bool Calibrator::saveCalibrationParam(std::string& path) {
    zelvan::CalibratorParameters record;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        forward_[2] += translationX_.load();
        forward_[5] += translationY_.load();
        parameters_.transforms["1"] = std::vector<double>(forward_.begin(), forward_.end());
        computeInverseAffine(forward_.data(), inverse_.data());
        parameters_.transforms["0"] = std::vector<double>(inverse_.begin(), inverse_.end());
        translationX_ = 0.0;
        translationY_ = 0.0;
        record = parameters_;
    }
    return zelvan::paramToJsonFile(record, path);
}

void Calibrator::adjustAffineTranslation(double dx, double dy) {
    // Under the lock too: a frame maps with both new values or both old ones.
    std::lock_guard<std::mutex> lock(mutex_);
    translationX_ = dx;
    translationY_ = dy;
}

void Calibrator::computeInverseAffine(const double in[6], double out[6]) {
    const double a = in[0], b = in[1], c = in[2], d = in[3], e = in[4], f = in[5];
    const double det = e * a - d * b;
    if (std::fabs(det) < 1e-12) return;
    const double r = 1.0 / det;
    const double a2 = e * r, b2 = -b * r, d2 = -d * r, e2 = a * r;
    out[0] = a2;
    out[1] = b2;
    out[2] = -(b2 * f + a2 * c);
    out[3] = d2;
    out[4] = e2;
    out[5] = -(e2 * f + d2 * c);
}

zelvan::ApsFrame Calibrator::mapApsToDvs(zelvan::ApsFrame& aps) {
    zelvan::ApsFrame out;
    mapApsToDvs(aps, out);
    return out;
}

void Calibrator::mapApsToDvs(const zelvan::ApsFrame& aps, zelvan::ApsFrame& out) {
    Affine t;
    int dvs_w = 0;
    int dvs_h = 0;
    double tx = 0.0;
    double ty = 0.0;
    {
        // The transform and the translation of one moment: a save folds one into the other under
        // this lock, so that a frame never gets the folded transform and the translation as well, or
        // neither.
        std::lock_guard<std::mutex> lock(mutex_);
        t = forward_;
        tx = translationX_.load();
        ty = translationY_.load();
        dvs_w = parameters_.dvs_width;
        dvs_h = parameters_.dvs_height;
    }
    if (out.width() != dvs_w || out.height() != dvs_h || out.getDataSize() != size_t(dvs_w) * dvs_h * 3) {
        out = zelvan::ApsFrame(dvs_w, dvs_h, aps.startTimestamp(), aps.endTimestamp());
    } else {
        out.setTimestamps(aps.startTimestamp(), aps.endTimestamp());
        std::memset(out.data(), 0, out.getDataSize());
    }
    // The frame's own size bounds the reads, whatever size the calibration expects.
    const int64_t aps_w = aps.width();
    const int64_t aps_h = aps.height();
    if (aps_w <= 0 || aps_h <= 0 || aps.getDataSize() < size_t(aps_w) * size_t(aps_h) * 3) return;
    const uint8_t* src = aps.data();
    uint8_t* dst = out.data();
    if (t[1] == 0.0 && t[3] == 0.0) {
        // Axis-aligned (the usual calibration): the source column of each x once per frame.
        thread_local std::vector<int64_t> columns;
        columns.resize(size_t(dvs_w));
        for (int x = 0; x < dvs_w; ++x) {
            const int64_t xa = truncated(t[0] * x + t[2] + tx);
            columns[size_t(x)] = (xa >= 0 && xa < aps_w) ? xa * 3 : -1;
        }
        for (int y = 0; y < dvs_h; ++y) {
            const int64_t ya = truncated(t[4] * y + t[5] + ty);
            if (ya < 0 || ya >= aps_h) continue;
            const uint8_t* row = src + size_t(ya) * size_t(aps_w) * 3;
            uint8_t* o = dst + size_t(y) * size_t(dvs_w) * 3;
            for (int x = 0; x < dvs_w; ++x, o += 3) {
                const int64_t sx = columns[size_t(x)];
                if (sx < 0) continue;
                o[0] = row[sx];
                o[1] = row[sx + 1];
                o[2] = row[sx + 2];
            }
        }
        return;
    }
    for (int y = 0; y < dvs_h; ++y) {
        uint8_t* o = dst + size_t(y) * size_t(dvs_w) * 3;
        for (int x = 0; x < dvs_w; ++x, o += 3) {
            const int64_t xa = truncated(t[0] * x + t[1] * y + t[2] + tx);
            const int64_t ya = truncated(t[3] * x + t[4] * y + t[5] + ty);
            if (xa < 0 || xa >= aps_w || ya < 0 || ya >= aps_h) continue;
            const uint8_t* s = src + (size_t(ya) * size_t(aps_w) + size_t(xa)) * 3;
            o[0] = s[0];
            o[1] = s[1];
            o[2] = s[2];
        }
    }
}

void Calibrator::mapDvsToAps(zelvan::Event2D* first, zelvan::Event2D* last) {
    Affine t;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        t = forward_;
    }
    for (zelvan::Event2D* e = first; e != last; ++e) {
        const double x = e->x;
        const double y = e->y;
        e->x = static_cast<uint16_t>(truncated(t[0] * x + t[1] * y + t[2]));
        e->y = static_cast<uint16_t>(truncated(t[3] * x + t[4] * y + t[5]));
    }
}

Calibrator::Affine Calibrator::forwardTransform() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return forward_;
}

Calibrator::Affine Calibrator::inverseTransform() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inverse_;
}

zelvan::CalibratorParameters Calibrator::parameters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return parameters_;
}

int Calibrator::dvsWidth() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return parameters_.dvs_width;
}

int Calibrator::dvsHeight() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return parameters_.dvs_height;
}
