#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "SimTestUtil.h"
#include "zelvan/EventStream.h"
#include "zelvan/Interface.h"
#include "zelvan/Logger.h"
#include "zelvan/StringUtils.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan {
namespace {

using sim::SimDeviceConfig;
using sim::SimulatedCameras;
using testing::testCamera;

SimDeviceConfig withIds(SimDeviceConfig c, uint16_t vendor, uint16_t product, const std::string& name) {
    c.description.vendorId = vendor;
    c.description.productId = product;
    c.description.product = name;
    return c;
}

SimDeviceConfig ethCamera(const std::string& serial) {
    auto c = withIds(testCamera(serial), 0x04B5, 0x0001, "Pelmo");
    c.description.interfaceType = ETH;
    c.description.cameraIp = "192.168.1.100";
    c.description.localIp = "192.168.1.10";
    c.description.subnetMask = "255.255.255.0";
    c.description.gateway = "192.168.1.1";
    return c;
}

// Every test starts from the same small set and leaves the default set behind.
class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto fusion = withIds(testCamera("f1"), 0x2207, 0x0006, "Tandra");
        fusion.calibration = {'{', '}'};
        SimulatedCameras::instance().reset({
            testCamera("a1"),
            testCamera("a2"),
            withIds(testCamera("b1"), 0x04B4, 0x00C4, "EVK5"),
            withIds(testCamera("p1"), 0x04B5, 0x0001, "Pelmo"),
            fusion,
            ethCamera("n1"),
        });
    }
    void TearDown() override { SimulatedCameras::instance().restoreDefault(); }

    static CameraDescription describe(const std::string& serial) {
        return SimulatedCameras::instance().find(serial)->description();
    }
    static std::shared_ptr<sim::SimDevice> device(const std::string& serial) {
        return SimulatedCameras::instance().find(serial);
    }
};

std::vector<std::string> serialsOf(const std::vector<CameraDescription>& list) {
    std::vector<std::string> out;
    for (const auto& d : list) out.push_back(d.serial);
    return out;
}

// --- Searches ---

TEST_F(TransportTest, UsbSearchMatchesIdsTransportAndKind) {
    using V = std::vector<std::string>;
    EXPECT_EQ(serialsOf(UsbInterface::findUsbDvsCamera(0x04B4, 0x00F5)), (V{"a1", "a2"}));
    EXPECT_EQ(serialsOf(UsbInterface::findUsbDvsCamera(0x04B4, 0x00C4)), (V{"b1"}));
    // The Ethernet camera shares the Pelmo's ids but is not found on USB.
    EXPECT_EQ(serialsOf(UsbInterface::findUsbDvsCamera(0x04B5, 0x0001)), (V{"p1"}));
    EXPECT_TRUE(UsbInterface::findUsbDvsCamera(0x2207, 0x0006).empty());
    EXPECT_EQ(serialsOf(UsbInterface::findUsbFusionCamera(0x2207, 0x0006)), (V{"f1"}));
    EXPECT_TRUE(UsbInterface::findUsbFusionCamera(0x04B4, 0x00F5).empty());
    EXPECT_TRUE(UsbInterface::findUsbDvsCamera(0x1234, 0x5678).empty());
    const auto eth = EthInterface::findEthDvsCamera();
    ASSERT_EQ(serialsOf(eth), (V{"n1"}));
    EXPECT_EQ(eth[0].interfaceType, ETH);
    EXPECT_EQ(eth[0].cameraIp, "192.168.1.100");
}

TEST_F(TransportTest, UnpluggedCamerasAreNotFound) {
    device("a1")->unplug();
    device("n1")->unplug();
    EXPECT_EQ(serialsOf(UsbInterface::findUsbDvsCamera(0x04B4, 0x00F5)), (std::vector<std::string>{"a2"}));
    EXPECT_TRUE(EthInterface::findEthDvsCamera().empty());
    device("a1")->plug();
    EXPECT_EQ(UsbInterface::findUsbDvsCamera(0x04B4, 0x00F5).size(), 2u);
}

// --- Opening ---

TEST_F(TransportTest, CreateChecksSerialConnectionAndTransport) {
    ScopedLogCapture capture(LOG_ERROR);
    auto usb = UsbInterface::createUsbInterface(describe("a1"));
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->description().serial, "a1");
    EXPECT_EQ(usb->device(), device("a1"));
    EXPECT_TRUE(capture.lines().empty());

    CameraDescription unknown = describe("a1");
    unknown.serial = "nope";
    EXPECT_EQ(UsbInterface::createUsbInterface(unknown), nullptr);
    EXPECT_EQ(EthInterface::createEthInterface(unknown), nullptr);
    EXPECT_EQ(UsbInterface::createUsbInterface(describe("n1")), nullptr);
    EXPECT_EQ(UsbInterface::createUsbInterface(describe("f1")), nullptr);
    EXPECT_EQ(UsbInterface::createUsbFusionInterface(describe("a1")), nullptr);
    EXPECT_EQ(EthInterface::createEthInterface(describe("a1")), nullptr);
    EXPECT_NE(UsbInterface::createUsbFusionInterface(describe("f1")), nullptr);
    EXPECT_NE(EthInterface::createEthInterface(describe("n1")), nullptr);
    device("a2")->unplug();
    EXPECT_EQ(UsbInterface::createUsbInterface(describe("a2")), nullptr);
    EXPECT_EQ(capture.lines().size(), 7u);
    EXPECT_TRUE(capture.containsSubstring(LOG_ERROR, "nope"));
}

// --- Register access, connection state ---

TEST_F(TransportTest, RegistersMapToTheDeviceAndFailWhenUnplugged) {
    auto usb = UsbInterface::createUsbInterface(describe("a1"));
    ASSERT_NE(usb, nullptr);
    const auto status = std::make_shared<std::atomic<uint64_t>>(7);
    usb->setStatusWord(status);
    uint32_t value = 0;
    ASSERT_EQ(usb->readRegister(sim::reg::kReadoutControl, value), 0);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(status->load(), 1u);
    ASSERT_EQ(usb->writeRegister(0x9028, 0), 0);
    EXPECT_EQ(device("a1")->readRegister(0x9028), 0u);
    uint8_t block[64];
    for (int i = 0; i < 64; ++i) block[i] = uint8_t(200 - i);
    ASSERT_EQ(usb->writeDataBlock(0x200, block), 0);
    uint8_t back[64] = {};
    ASSERT_EQ(usb->readDataBlock(0x200, back), 0);
    EXPECT_TRUE(std::equal(block, block + 64, back));

    device("a1")->unplug();
    EXPECT_FALSE(usb->isConnected());
    EXPECT_EQ(status->load(), 0u);
    EXPECT_EQ(usb->writeRegister(0x9028, 2), -1);
    EXPECT_EQ(usb->readRegister(0x9028, value), -1);
    EXPECT_EQ(usb->readDataBlock(0x200, back), -1);
    EXPECT_EQ(usb->writeDataBlock(0x200, block), -1);
    EXPECT_EQ(device("a1")->readRegister(0x9028), 0u);

    device("a1")->plug();
    EXPECT_TRUE(usb->isConnected());
    EXPECT_EQ(status->load(), 1u);
    EXPECT_EQ(usb->writeRegister(0x9028, 2), 0);
    EXPECT_EQ(device("a1")->readRegister(0x9028), 2u);
}

// --- Ethernet ---

TEST_F(TransportTest, ForcedIpIsReportedByTheNextSearch) {
    const auto before = describe("n1");
    ASSERT_TRUE(EthInterface::ethCameraForceIP(before, stringToIP("10.1.2.3"), stringToIP("255.255.0.0"),
                                               stringToIP("10.1.0.1")));
    const auto found = EthInterface::findEthDvsCamera();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].cameraIp, "10.1.2.3");
    EXPECT_EQ(found[0].subnetMask, "255.255.0.0");
    EXPECT_EQ(found[0].gateway, "10.1.0.1");
    EXPECT_EQ(found[0].localIp, before.localIp);
}

TEST_F(TransportTest, ForceIpRefusesBadSettingsAndUnknownCameras) {
    const auto eth = describe("n1");
    const uint32_t mask = stringToIP("255.255.255.0");
    struct Case {
        const char* address;
        const char* mask;
        const char* gateway;
    };
    const Case bad[] = {
        {"10.0.0.5", "255.0.255.0", "0.0.0.0"},      // mask with a hole
        {"10.0.0.5", "0.0.0.0", "0.0.0.0"},          // no mask
        {"10.0.0.5", "255.255.255.255", "0.0.0.0"},  // no room for hosts
        {"10.0.0.0", "255.255.255.0", "0.0.0.0"},    // network address
        {"10.0.0.255", "255.255.255.0", "0.0.0.0"},  // broadcast address
        {"0.0.0.7", "255.255.255.0", "0.0.0.0"},     // no address
        {"10.0.0.5", "255.255.255.0", "10.0.1.1"},   // gateway outside the subnet
        {"10.0.0.5", "255.255.255.0", "10.0.0.5"},   // gateway is the camera
    };
    for (const auto& c : bad) {
        EXPECT_FALSE(EthInterface::ethCameraForceIP(eth, stringToIP(c.address), stringToIP(c.mask),
                                                    stringToIP(c.gateway)))
            << c.address << " " << c.mask << " " << c.gateway;
    }
    EXPECT_EQ(describe("n1"), eth);
    EXPECT_FALSE(EthInterface::ethCameraForceIP(describe("a1"), stringToIP("10.0.0.5"), mask, 0));
    CameraDescription unknown = eth;
    unknown.serial = "gone";
    EXPECT_FALSE(EthInterface::ethCameraForceIP(unknown, stringToIP("10.0.0.5"), mask, 0));
    device("n1")->unplug();
    EXPECT_FALSE(EthInterface::ethCameraForceIP(eth, stringToIP("10.0.0.5"), mask, 0));
    device("n1")->plug();
    EXPECT_TRUE(EthInterface::ethCameraForceIP(eth, stringToIP("10.0.0.5"), mask, 0));
    EXPECT_EQ(describe("n1").gateway, "0.0.0.0");
}

// An address another host holds would make two hosts answer to it: the local adapter's, another
// camera's while it is connected.
TEST_F(TransportTest, ForceIpRefusesAnAddressAnotherHostHolds) {
    auto second = ethCamera("n2");
    second.description.cameraIp = "192.168.1.101";
    SimulatedCameras::instance().reset({ethCamera("n1"), second});
    const auto eth = describe("n1");
    const uint32_t mask = stringToIP("255.255.255.0");
    for (const char* taken : {"192.168.1.10", "192.168.1.101"}) {
        EXPECT_FALSE(EthInterface::ethCameraForceIP(eth, stringToIP(taken), mask, 0)) << taken;
    }
    EXPECT_EQ(describe("n1"), eth);
    // Its own address is no conflict, and one that a camera gone from the network held is free.
    EXPECT_TRUE(EthInterface::ethCameraForceIP(eth, stringToIP("192.168.1.100"), mask, 0));
    device("n2")->unplug();
    EXPECT_TRUE(EthInterface::ethCameraForceIP(eth, stringToIP("192.168.1.101"), mask, 0));
    EXPECT_EQ(describe("n1").cameraIp, "192.168.1.101");
}

TEST_F(TransportTest, EthernetStreamPermissionAndFirmware) {
    auto eth = EthInterface::createEthInterface(describe("n1"));
    ASSERT_NE(eth, nullptr);
    EXPECT_FALSE(device("n1")->ethernetStreamEnabled());
    EXPECT_TRUE(eth->setEventStream(true));
    EXPECT_TRUE(device("n1")->ethernetStreamEnabled());

    const std::string image = std::string(ZELVAN_BINARY_DIR) + "/sim_firmware.bin";
    const std::string empty = std::string(ZELVAN_BINARY_DIR) + "/sim_firmware_empty.bin";
    std::ofstream(image, std::ios::binary | std::ios::trunc) << "FWIMAGE";
    std::ofstream(empty, std::ios::binary | std::ios::trunc);
    EXPECT_TRUE(eth->updateFirmware(image, 1));
    EXPECT_FALSE(eth->updateFirmware(empty, 1));
    EXPECT_FALSE(eth->updateFirmware(std::string(ZELVAN_BINARY_DIR) + "/no_firmware.bin", 1));
    EXPECT_FALSE(eth->updateFirmware(ZELVAN_BINARY_DIR, 1));

    device("n1")->unplug();
    EXPECT_FALSE(eth->setEventStream(false));
    EXPECT_TRUE(device("n1")->ethernetStreamEnabled());
    EXPECT_FALSE(eth->updateFirmware(image, 1));
    std::remove(image.c_str());
    std::remove(empty.c_str());
}

// --- Fusion camera: control frames, calibration ---

TEST_F(TransportTest, FusionControlFramesAreRecorded) {
    auto fusion = UsbInterface::createUsbFusionInterface(describe("f1"));
    ASSERT_NE(fusion, nullptr);
    EXPECT_TRUE(fusion->transferFrame({kCtrlDvsPath, {1}}));
    EXPECT_TRUE(fusion->transferFrame({kCtrlDvsStream, {1, 2}}));
    EXPECT_FALSE(fusion->transferFrame({0x40010999, {1}}));
    auto frames = device("f1")->controlFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].command, kCtrlDvsPath);
    EXPECT_EQ(frames[0].values, (std::vector<uint32_t>{1}));
    EXPECT_EQ(frames[1].command, kCtrlDvsStream);
    EXPECT_EQ(frames[1].values, (std::vector<uint32_t>{1, 2}));

    auto usb = UsbInterface::createUsbInterface(describe("a1"));
    EXPECT_FALSE(usb->transferFrame({kCtrlDvsPath, {1}}));
    EXPECT_TRUE(device("a1")->controlFrames().empty());
    device("f1")->unplug();
    EXPECT_FALSE(fusion->transferFrame({kCtrlDvsPath, {0}}));
    EXPECT_EQ(device("f1")->controlFrames().size(), 2u);
}

TEST_F(TransportTest, CalibrationReadAndStoredFromFile) {
    auto fusion = UsbInterface::createUsbFusionInterface(describe("f1"));
    ASSERT_NE(fusion, nullptr);
    EXPECT_EQ(fusion->readCalibration(), (std::vector<uint8_t>{'{', '}'}));

    const std::string path = std::string(ZELVAN_BINARY_DIR) + "/sim_calibration.json";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "{\"k\": 1}";
    ASSERT_TRUE(fusion->writeCalibrationFile(path));
    const std::string text = "{\"k\": 1}";
    EXPECT_EQ(fusion->readCalibration(), std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_FALSE(fusion->writeCalibrationFile(std::string(ZELVAN_BINARY_DIR) + "/no_calibration.json"));
    EXPECT_EQ(fusion->readCalibration(), std::vector<uint8_t>(text.begin(), text.end()));

    device("f1")->unplug();
    EXPECT_TRUE(fusion->readCalibration().empty());
    EXPECT_FALSE(fusion->writeCalibrationFile(path));
    std::remove(path.c_str());
}

// --- Data transfers that cannot be made ---

TEST_F(TransportTest, DataTransferNeedsInterfaceAndEventEndpoint) {
    ScopedLogCapture capture(LOG_ERROR);
    EXPECT_EQ(createDataTransferUniquePtr(nullptr, 2, 131072, 20, kEventEndpoint), nullptr);
    auto usb = UsbInterface::createUsbInterface(describe("a1"));
    EXPECT_EQ(createDataTransferUniquePtr(usb, 2, 131072, 20, 0x99), nullptr);
    EXPECT_EQ(createDataTransferUniquePtr(usb, 2, 12441600, 1, kFrameEndpoint), nullptr);
    EXPECT_EQ(capture.lines().size(), 3u);

    EventStream empty(nullptr);
    empty.start();
    EXPECT_FALSE(empty.isStarted());
    EXPECT_EQ(empty.waitNextBuffer(), -1);
    EXPECT_FALSE(empty.getLatestBuffer().has_value());
    EXPECT_EQ(empty.lostBuffers(), 0u);
    empty.stop();
}

}  // namespace
}  // namespace zelvan
