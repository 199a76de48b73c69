#include "zelvan/DvsCameraManager.h"

#include "camera/EventCameraModels.h"
#include "camera/TandraCamera.h"
#include "zelvan/Interface.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace {

template <typename Model>
uint64_t searchUsb(std::map<std::string, std::shared_ptr<DvsCamera>>& cameras) {
    auto list = UsbInterface::findUsbDvsCamera(Model::vendorId, Model::productId);
    if (list.empty()) list = UsbInterface::findUsbDvsCamera(Model::vendorId, Model::productId);
    for (const auto& description : list) {
        if (cameras.count(description.serial) == 0) {
            cameras.emplace(description.serial, makeCamera<Model>(description));
        }
    }
    return list.size();
}

}  // namespace

uint64_t DvsCameraManager::findCameras(CAMERA_TYPE type) {
    switch (type) {
        case EVK4:
            return searchUsb<PropheseeEVK4>(cameras_);
        case EVK5:
            return searchUsb<PropheseeEVK5>(cameras_);
        case PELMO:
            return searchUsb<ZelvanPelmo>(cameras_);
        case ORVIK_320:
            return searchUsb<Orvik320Camera>(cameras_);
        case TANDRA: {
            const auto list =
                UsbInterface::findUsbFusionCamera(TandraCamera::vendorId, TandraCamera::productId);
            for (const auto& description : list) {
                if (fusion_cameras_.count(description.serial) == 0) {
                    fusion_cameras_.emplace(description.serial, makeFusionCamera<TandraCamera>(description));
                }
            }
            return list.size();
        }
    }
    return 0;
}

uint64_t DvsCameraManager::findEthCameras() {
    const auto list = EthInterface::findEthDvsCamera();
    for (const auto& description : list) {
        if (cameras_.count(description.serial) == 0) {
            cameras_.emplace(description.serial, makeCamera<ZelvanPelmo>(description));
        }
    }
    return list.size();
}

uint64_t DvsCameraManager::findCameras() {
    uint64_t found = findCameras(EVK4);
    found += findCameras(EVK5);
    found += findCameras(PELMO);
    found += findCameras(TANDRA);
    found += findEthCameras();
    found += findCameras(ORVIK_320);
    return found;
}

void DvsCameraManager::removeUnpluggedCameras() {
    for (auto it = cameras_.begin(); it != cameras_.end();) {
        if (!it->second->isConnected()) {
            ZV_LOG(LOG_DETAIL, "Camera %s disconnected", it->second->getDescription().serial.c_str());
            it = cameras_.erase(it);
        } else {
            ++it;
        }
    }
    std::erase_if(fusion_cameras_, [](const auto& entry) { return !entry.second->isConnected(); });
}

std::vector<CameraDescription> DvsCameraManager::getCameraDescs() {
    removeUnpluggedCameras();
    findCameras();
    std::vector<CameraDescription> out;
    for (const auto& [serial, camera] : cameras_) out.push_back(camera->getDescription());
    for (const auto& [serial, camera] : fusion_cameras_) out.push_back(camera->getDescription());
    return out;
}

int DvsCameraManager::updateCameras() {
    removeUnpluggedCameras();
    return static_cast<int>(findCameras());
}

std::shared_ptr<DvsCamera> DvsCameraManager::openCamera(std::string serial) {
    ZV_LOG(LOG_DETAIL, "Camera serial: %s", serial.c_str());
    const auto it = cameras_.find(serial);
    if (it == cameras_.end()) return nullptr;
    if (it->second->init() != 0) return nullptr;
    return it->second;
}

std::shared_ptr<FusionCamera> DvsCameraManager::openFusionCamera(std::string serial) {
    ZV_LOG(LOG_DETAIL, "Fusion Camera serial: %s", serial.c_str());
    const auto it = fusion_cameras_.find(serial);
    if (it == fusion_cameras_.end()) return nullptr;
    // A camera whose opening failed is returned all the same; it refuses to start.
    it->second->init();
    return it->second;
}

bool DvsCameraManager::ethCameraForceIP(CameraDescription description, uint32_t address, uint32_t mask,
                                        uint32_t gateway) {
    return EthInterface::ethCameraForceIP(description, address, mask, gateway);
}

}  // namespace zelvan
