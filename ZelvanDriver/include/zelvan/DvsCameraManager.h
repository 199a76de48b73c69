// Finds the supported cameras on USB and Ethernet and opens them by serial number.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zelvan/CameraDescription.h"
#include "zelvan/DvsCamera.h"
#include "zelvan/FusionCamera.h"

namespace zelvan {

// Keeps one camera object per serial. Used from one thread.
class DvsCameraManager {
public:
    DvsCameraManager() = default;

    // Drops cameras that are gone (and found-but-never-opened ones), searches again, and returns the
    // descriptions of all known event cameras in serial order, then those of the fusion cameras.
    std::vector<CameraDescription> getCameraDescs();
    // Drops cameras that are gone, searches again, returns the number of cameras found.
    int updateCameras();
    // The camera with this serial, opened; empty when no search reported it or it cannot be opened.
    // Opening the same serial twice gives the same object.
    std::shared_ptr<DvsCamera> openCamera(std::string serial);
    // The fusion camera with this serial, opened; empty when no search reported it. A camera whose
    // opening failed is still returned: it reports not connected and refuses to start.
    std::shared_ptr<FusionCamera> openFusionCamera(std::string serial);

    // Gives an Ethernet camera a new address, mask and gateway (first octet most significant).
    static bool ethCameraForceIP(CameraDescription description, uint32_t address, uint32_t mask,
                                 uint32_t gateway);

    // Runs the search of one camera family; 0 for a value that names none.
    uint64_t findCameras(CAMERA_TYPE type);

private:
    uint64_t findCameras();
    uint64_t findEthCameras();
    void removeUnpluggedCameras();

    std::map<std::string, std::shared_ptr<DvsCamera>> cameras_;
    std::map<std::string, std::shared_ptr<FusionCamera>> fusion_cameras_;
};

}  // namespace zelvan
