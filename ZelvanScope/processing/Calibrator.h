// Maps between the pixel grids of a fusion camera's event sensor (DVS, 1280 x 720) and frame sensor
// (APS, 3840 x 2160) with 2 x 3 affine transforms, and keeps the calibration record that carries them.
//
// Transforms are six numbers a, b, c, d, e, f: x' = a*x + b*y + c, y' = d*x + e*y + f. The forward
// transform maps event pixels to frame pixels, the inverse the other way. A manual translation (frame
// pixels) is added to c and f while frames are resampled, until saveCalibrationParam folds it into the
// transform.
//
// A record whose "1" or "0" entry is missing, holds fewer than six numbers or a number that is not
// finite, whose forward transform cannot be inverted, or whose event sensor size is not the sensor's
// 1280 x 720 (the size every resampled frame is made with), is refused: the transforms in use stay as
// they were (loadCalibrationParam returns false and logs why).
//
// Threads: the mapping runs on the threads that produce frames while the GUI thread may change the
// translation, which is therefore atomic. Loading and saving replace the transforms under a lock that
// the mapping also takes once per frame.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>

#include "zelvan/ApsFrame.h"
#include "zelvan/CalibratorParameters.h"
#include "zelvan/Types.h"

class Calibrator {
public:
    using Affine = std::array<double, 6>;
    static constexpr int kDvsWidth = 1280;
    static constexpr int kDvsHeight = 720;

    Calibrator();

    // A record with the default sizes and the default transforms under "1" and "0".
    static zelvan::CalibratorParameters defaultParameters();

    // Takes `p` as the calibration: forward transform = entry "1", inverse = entry "0"; the
    // translation goes back to 0. False, with the transforms unchanged, for an unusable record.
    bool loadCalibrationParam(zelvan::CalibratorParameters& p);
    // Folds the translation into the forward transform, stores it as "1" and its inverse as "0",
    // writes the record to `path` and sets the translation to 0. The result is that of the write.
    bool saveCalibrationParam(std::string& path);
    // Sets (does not add to) the manual translation, in frame pixels.
    void adjustAffineTranslation(double dx, double dy);
    // Inverts `in`; `out` is left untouched when `in` is singular (|det| < 1e-12).
    static void computeInverseAffine(const double in[6], double out[6]);

    // Resamples `aps` (packed BGR, APS size) onto the DVS grid, nearest neighbour with truncation;
    // pixels whose source lies outside the frame stay black. The result keeps `aps`'s timestamps.
    zelvan::ApsFrame mapApsToDvs(zelvan::ApsFrame& aps);
    // The same into `out`, which is reused when it already has the DVS size (no allocation).
    void mapApsToDvs(const zelvan::ApsFrame& aps, zelvan::ApsFrame& out);
    // Moves event coordinates onto the APS grid in place with the forward transform (no translation).
    void mapDvsToAps(zelvan::Event2D* first, zelvan::Event2D* last);

    Affine forwardTransform() const;
    Affine inverseTransform() const;
    double translationX() const { return translationX_.load(); }
    double translationY() const { return translationY_.load(); }
    zelvan::CalibratorParameters parameters() const;
    int dvsWidth() const;
    int dvsHeight() const;

private:
    mutable std::mutex mutex_;
    zelvan::CalibratorParameters parameters_;
    Affine forward_;
    Affine inverse_;
    std::atomic<double> translationX_{0.0};
    std::atomic<double> translationY_{0.0};
};
