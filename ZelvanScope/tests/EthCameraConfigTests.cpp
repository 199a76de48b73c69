// The Ethernet camera configuration dialog on simulated cameras: listing, configuring, refusing bad
// addresses, and its search thread (held at a known point to look at the dialog while it runs).
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

#include "GuiSpy.h"
#include "TestSetup.h"
#include "ViewerTestHelpers.h"
#include "dialogs/ZvEthCameraConfigTool.h"
#include "main/MainWidget.h"
#include "ui_MainWidget.h"
#include "ui_ZvEthCameraConfigTool.h"
#include "widgets/WaitingWindow.h"
#include "widgets/ZvFilePathReminderForm.h"
#include "zelvan/sim/SimDevice.h"

namespace {

using zelvan::CameraDescription;
using zelvan::sim::SimDeviceConfig;
using zelvan::sim::SimulatedCameras;

constexpr int kWaitMs = 10000;
const char* const kFirst = "5ae00003";
const char* const kSecond = "5ae00013";

// One USB camera and two Ethernet cameras.
std::vector<SimDeviceConfig> twoEthernetCameras() {
    std::vector<SimDeviceConfig> configs;
    for (auto& c : SimulatedCameras::defaultConfigs()) {
        if (c.description.product == "EVK4" || c.description.serial == kFirst) configs.push_back(c);
    }
    SimDeviceConfig second = configs.back();
    second.description.serial = kSecond;
    second.description.cameraIp = "192.168.1.101";
    second.description.firmwareVersion = "2.4.0";
    second.seed = 7;
    configs.push_back(second);
    for (auto& c : configs) c.settle_scale = 0;
    return configs;
}

CameraDescription deviceDescription(const std::string& serial) {
    const auto device = SimulatedCameras::instance().find(serial);
    return device ? device->description() : CameraDescription{};
}

QStringList listedSerials(const ZvEthCameraConfigTool& dialog) {
    QStringList serials;
    const QListWidget* list = dialog.form()->listWidget_cameras;
    for (int i = 0; i < list->count(); ++i) serials << list->item(i)->text();
    return serials;
}

using TipSpy = GuiSpy;
QStringList tipTexts(const TipSpy& tips) {
    QStringList texts;
    for (const auto& call : tips) texts << call.at(0).toString();
    return texts;
}

void setAddresses(ZvEthCameraConfigTool& dialog, const QString& ip, const QString& mask,
                  const QString& gateway) {
    dialog.form()->le_ip->setText(ip);
    dialog.form()->le_subnet_mask->setText(mask);
    dialog.form()->le_gateway->setText(gateway);
}

bool markedInvalid(const QWidget* field) { return field->property("invalid").toBool(); }

// A search that the test can hold: held, it waits until released or told to stop (at most 10 s);
// not held, it searches as the dialog does by default.
class HeldSearch {
public:
    ZvEthCameraConfigTool::Search search() {
        return [this](std::stop_token stop) { return run(stop); };
    }
    void hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
        released_ = false;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }
    // Runs the event loop until a held search has begun waiting.
    bool waitHolding() {
        return QTest::qWaitFor([this] { return holding_.load(); }, kWaitMs);
    }
    bool endedByStop() const { return endedByStop_.load(); }
    bool holding() const { return holding_.load(); }

private:
    std::vector<CameraDescription> run(std::stop_token stop) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (held_) {
                holding_ = true;
                const bool released =
                    cv_.wait_for(lock, stop, std::chrono::seconds(10), [this] { return released_; });
                holding_ = false;
                endedByStop_ = !released && stop.stop_requested();
                if (!released) return {};
            }
        }
        return ZvEthCameraConfigTool::searchWithManager(stop);
    }

    std::mutex mutex_;
    std::condition_variable_any cv_;
    bool held_ = false;
    bool released_ = false;
    std::atomic<bool> holding_{false};
    std::atomic<bool> endedByStop_{false};
};

}  // namespace

class EthCameraConfigTests : public QObject {
    Q_OBJECT
private slots:
    void init() { SimulatedCameras::instance().reset(twoEthernetCameras()); }
    void cleanupTestCase() { SimulatedCameras::instance().restoreDefault(); }

    // The Ethernet cameras are listed in the order found, the first selected and shown; the USB
    // camera is not listed.
    void listsTheEthernetCamerasAndSelectsTheFirst() {
        ZvEthCameraConfigTool dialog;
        TipSpy tips(&dialog, qOverload<QString, ZvMessageType, QString>(
                                 &ZvEthCameraConfigTool::signalShowLeftBottomTips));
        GuiSpy loading(&dialog, &ZvEthCameraConfigTool::signalLoadingStatus);
        GuiSpy completed(&dialog, &ZvEthCameraConfigTool::signalRefreshCompleted);
        dialog.show();
        auto* ui = dialog.form();
        QTRY_COMPARE_WITH_TIMEOUT(completed.count(), 1, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isSearching(), kWaitMs);
        QCOMPARE(listedSerials(dialog), (QStringList{kFirst, kSecond}));
        QCOMPARE(ui->listWidget_cameras->currentRow(), 0);
        QCOMPARE(ui->listWidget_cameras->iconSize(), QSize(24, 24));
        QCOMPARE(ui->lb_serial->text(), QString(kFirst));
        QCOMPARE(ui->lb_product->text(), QString("Pelmo"));
        QCOMPARE(ui->lb_manufacturer->text(), QString("Zelvan"));
        QCOMPARE(ui->lb_firm_ver->text(), QString("2.3.1"));
        QCOMPARE(ui->le_ip->text(), QString("192.168.1.100"));
        QCOMPARE(ui->le_subnet_mask->text(), QString("255.255.255.0"));
        QCOMPARE(ui->le_gateway->text(), QString("192.168.1.1"));
        QVERIFY(ui->pb_config->isEnabled());
        QVERIFY(ui->pb_refresh->isEnabled());

        ui->listWidget_cameras->setCurrentRow(1);
        QCOMPARE(ui->lb_serial->text(), QString(kSecond));
        QCOMPARE(ui->lb_firm_ver->text(), QString("2.4.0"));
        QCOMPARE(ui->le_ip->text(), QString("192.168.1.101"));

        // The search said when it ran; the tip went out as it started.
        QCOMPARE(loading.count(), 2);
        QCOMPARE(loading.at(0).at(0).toBool(), true);
        QCOMPARE(loading.at(1).at(0).toBool(), false);
        QCOMPARE(tips.count(), 1);
        QCOMPARE(tips.first().at(0).toString(), QString("Refresh completed!"));
        QCOMPARE(tips.first().at(1).value<ZvMessageType>(), ZvMessageType::Success);
        QCOMPARE(tips.first().at(2).toString(), QString());

        // Its look: a frameless window that stays on top, with the texts of its fields and buttons.
        QVERIFY(dialog.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(dialog.windowFlags().testFlag(Qt::FramelessWindowHint));
        QCOMPARE(dialog.windowTitle(), QString("Eth Camera Config"));
        const QStringList labels = labelTexts(&dialog);
        for (const char* caption : {"Eth Camera Config", "Serial : ", "Product: ", "Manufacturer: ",
                                    "Firmware version :", "Subnet Mask:", "Gateway:", "Camera List"}) {
            QVERIFY2(labels.contains(caption), caption);
        }
        QCOMPARE(ui->pb_refresh->text(), QString("Refresh"));
        QCOMPARE(ui->pb_config->text(), QString("Config"));
        QCOMPARE(ui->pb_close->text(), QString("Close"));
        QVERIFY(ui->pb_win_close);
    }

    // Config writes the three addresses into the selected camera, which then answers at them when
    // searched again; the other camera keeps its own.
    void configWritesTheAddressesAndTheNextSearchFindsThem() {
        ZvEthCameraConfigTool dialog;
        TipSpy tips(&dialog, qOverload<QString, ZvMessageType, QString>(
                                 &ZvEthCameraConfigTool::signalShowLeftBottomTips));
        GuiSpy completed(&dialog, &ZvEthCameraConfigTool::signalRefreshCompleted);
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(completed.count() == 1 && !dialog.isSearching(), kWaitMs);
        QCOMPARE(dialog.form()->listWidget_cameras->currentRow(), 0);
        setAddresses(dialog, "192.168.1.50", "255.255.255.0", "192.168.1.1");
        dialog.form()->pb_config->click();
        QCOMPARE(tips.count(), 2);
        QCOMPARE(tips.last().at(0).toString(), QString("Configuration successful!"));
        QCOMPARE(tips.last().at(1).value<ZvMessageType>(), ZvMessageType::Success);
        const CameraDescription first = deviceDescription(kFirst);
        QCOMPARE(first.cameraIp, std::string("192.168.1.50"));
        QCOMPARE(first.subnetMask, std::string("255.255.255.0"));
        QCOMPARE(first.gateway, std::string("192.168.1.1"));
        QCOMPARE(deviceDescription(kSecond).cameraIp, std::string("192.168.1.101"));

        // Another subnet, mask and gateway, and the second camera.
        dialog.form()->listWidget_cameras->setCurrentRow(1);
        setAddresses(dialog, " 10.1.2.3 ", "255.255.0.0", "10.1.0.1");
        dialog.form()->pb_config->click();
        QCOMPARE(tips.last().at(0).toString(), QString("Configuration successful!"));
        QCOMPARE(deviceDescription(kSecond).cameraIp, std::string("10.1.2.3"));
        QCOMPARE(deviceDescription(kSecond).subnetMask, std::string("255.255.0.0"));
        QCOMPARE(deviceDescription(kSecond).gateway, std::string("10.1.0.1"));

        // Searched again, both are listed with their new addresses.
        dialog.form()->pb_refresh->click();
        QTRY_VERIFY_WITH_TIMEOUT(completed.count() == 2 && !dialog.isSearching(), kWaitMs);
        QCOMPARE(listedSerials(dialog), (QStringList{kFirst, kSecond}));
        QCOMPARE(dialog.form()->le_ip->text(), QString("192.168.1.50"));
        dialog.form()->listWidget_cameras->setCurrentRow(1);
        QCOMPARE(dialog.form()->le_ip->text(), QString("10.1.2.3"));
        QCOMPARE(dialog.form()->le_subnet_mask->text(), QString("255.255.0.0"));
        QCOMPARE(dialog.form()->le_gateway->text(), QString("10.1.0.1"));
    }

    // Text that is no address, settings no camera can take, and a camera that has gone are refused
    // with an Error tip; the camera keeps its settings.
    void badAddressesAreRefused() {
        ZvEthCameraConfigTool dialog;
        TipSpy tips(&dialog, qOverload<QString, ZvMessageType, QString>(
                                 &ZvEthCameraConfigTool::signalShowLeftBottomTips));
        GuiSpy completed(&dialog, &ZvEthCameraConfigTool::signalRefreshCompleted);
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(completed.count() == 1 && !dialog.isSearching(), kWaitMs);
        const CameraDescription before = deviceDescription(kFirst);
        auto* ui = dialog.form();
        struct Case {
            const char* ip;
            const char* mask;
            const char* gateway;
        };
        const Case refused[] = {
            {"192.168.1", "255.255.255.0", "192.168.1.1"},      // not four numbers
            {"192.168.1.256", "255.255.255.0", "192.168.1.1"},  // a number above 255
            {"", "255.255.255.0", "192.168.1.1"},               // nothing
            {"192.168.1.50", "255.255.255.0", "gateway"},       // not an address (is not "no gateway")
            {"192.168.1.50", "255.0.255.0", "192.168.1.1"},     // a mask with a hole
            {"192.168.1.50", "255.255.255.0", "192.168.2.1"},   // gateway outside the subnet
            {"192.168.1.0", "255.255.255.0", "192.168.1.1"},    // the subnet's own address
            {"0.0.0.0", "255.255.255.0", "0.0.0.0"},            // no address
        };
        for (const Case& c : refused) {
            const qsizetype before_count = tips.count();
            setAddresses(dialog, c.ip, c.mask, c.gateway);
            ui->pb_config->click();
            QVERIFY2(tips.count() == before_count + 1, c.ip);
            QCOMPARE(tips.last().at(0).toString(), QString("Configuration failed!"));
            QCOMPARE(tips.last().at(1).value<ZvMessageType>(), ZvMessageType::Error);
            QCOMPARE(deviceDescription(kFirst), before);
        }

        // The field that is not an address is marked until it is edited.
        setAddresses(dialog, "192.168.1.50", "255.255.255.0", "192.168.1.x");
        ui->pb_config->click();
        QVERIFY(markedInvalid(ui->le_gateway));
        QVERIFY(!markedInvalid(ui->le_ip));
        QVERIFY(!markedInvalid(ui->le_subnet_mask));
        ui->le_gateway->setFocus();
        ui->le_gateway->end(false);
        QTest::keyClick(ui->le_gateway, Qt::Key_Backspace);
        QVERIFY(!markedInvalid(ui->le_gateway));

        // "0.0.0.0" as the gateway means none.
        setAddresses(dialog, "192.168.1.60", "255.255.255.0", "0.0.0.0");
        ui->pb_config->click();
        QCOMPARE(tips.last().at(0).toString(), QString("Configuration successful!"));
        QCOMPARE(deviceDescription(kFirst).gateway, std::string("0.0.0.0"));

        // A camera unplugged since the search, and one removed, are not configured.
        const auto device = SimulatedCameras::instance().find(kFirst);
        device->unplug();
        setAddresses(dialog, "192.168.1.70", "255.255.255.0", "192.168.1.1");
        ui->pb_config->click();
        QCOMPARE(tips.last().at(0).toString(), QString("Configuration failed!"));
        QCOMPARE(tips.last().at(1).value<ZvMessageType>(), ZvMessageType::Error);
        QCOMPARE(device->description().cameraIp, std::string("192.168.1.60"));
        device->plug();
        SimulatedCameras::instance().remove(kFirst);
        ui->pb_config->click();
        QCOMPARE(tips.last().at(0).toString(), QString("Configuration failed!"));
    }

    // Without Ethernet cameras nothing is listed, nothing is shown and Config does nothing.
    void noEthernetCamerasListsNothing() {
        std::vector<SimDeviceConfig> usb_only;
        for (auto& c : SimulatedCameras::defaultConfigs()) {
            if (c.description.interfaceType != zelvan::ETH) usb_only.push_back(c);
        }
        SimulatedCameras::instance().reset(usb_only);
        ZvEthCameraConfigTool dialog;
        TipSpy tips(&dialog, qOverload<QString, ZvMessageType, QString>(
                                 &ZvEthCameraConfigTool::signalShowLeftBottomTips));
        GuiSpy completed(&dialog, &ZvEthCameraConfigTool::signalRefreshCompleted);
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(completed.count() == 1 && !dialog.isSearching(), kWaitMs);
        auto* ui = dialog.form();
        QCOMPARE(ui->listWidget_cameras->count(), 0);
        QVERIFY(dialog.cameras().empty());
        QCOMPARE(ui->lb_serial->text(), QString());
        QCOMPARE(ui->le_ip->text(), QString());
        QVERIFY(!ui->pb_config->isEnabled());
        QVERIFY(ui->pb_refresh->isEnabled());
        QVERIFY(QMetaObject::invokeMethod(&dialog, "on_pb_config_clicked"));
        QCOMPARE(tipTexts(tips), QStringList{"Refresh completed!"});
    }

    // While a search runs the list is empty and neither Config nor Refresh can be used; Config
    // does nothing even when called; the found cameras come when the search ends.
    void configIsDisabledWhileASearchRuns() {
        HeldSearch held;
        ZvEthCameraConfigTool dialog(held.search(), nullptr);
        TipSpy tips(&dialog, qOverload<QString, ZvMessageType, QString>(
                                 &ZvEthCameraConfigTool::signalShowLeftBottomTips));
        GuiSpy completed(&dialog, &ZvEthCameraConfigTool::signalRefreshCompleted);
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(completed.count() == 1 && !dialog.isSearching(), kWaitMs);
        auto* ui = dialog.form();
        QVERIFY(ui->pb_config->isEnabled());

        held.hold();
        auto release = qScopeGuard([&] { held.release(); });
        ui->pb_refresh->click();
        QVERIFY(dialog.isSearching());
        QVERIFY(!ui->pb_config->isEnabled());
        QVERIFY(!ui->pb_refresh->isEnabled());
        QCOMPARE(ui->listWidget_cameras->count(), 0);
        QVERIFY(held.waitHolding());
        QVERIFY(!ui->pb_config->isEnabled());
        setAddresses(dialog, "192.168.1.50", "255.255.255.0", "192.168.1.1");
        QVERIFY(QMetaObject::invokeMethod(&dialog, "on_pb_config_clicked"));
        QCOMPARE(deviceDescription(kFirst).cameraIp, std::string("192.168.1.100"));
        QCOMPARE(tipTexts(tips), (QStringList{"Refresh completed!", "Refresh completed!"}));

        held.release();
        QTRY_VERIFY_WITH_TIMEOUT(completed.count() == 2 && !dialog.isSearching(), kWaitMs);
        QCOMPARE(listedSerials(dialog), (QStringList{kFirst, kSecond}));
        QVERIFY(ui->pb_config->isEnabled());
        QVERIFY(ui->pb_refresh->isEnabled());
        QCOMPARE(ui->le_ip->text(), QString("192.168.1.100"));
    }

    // Closing the dialog during a search tells the search to stop and joins it: close() returns
    // once the search has ended, which it did because it was told to; the busy state ends and
    // nothing is listed afterwards.
    void closingDuringASearchEndsIt() {
        HeldSearch held;
        held.hold();
        auto release = qScopeGuard([&] { held.release(); });
        ZvEthCameraConfigTool dialog(held.search(), nullptr);
        GuiSpy loading(&dialog, &ZvEthCameraConfigTool::signalLoadingStatus);
        GuiSpy completed(&dialog, &ZvEthCameraConfigTool::signalRefreshCompleted);
        dialog.show();
        QVERIFY(held.waitHolding());
        QVERIFY(dialog.isSearching());
        QVERIFY(dialog.close());
        QVERIFY(!held.holding());
        QVERIFY(held.endedByStop());
        QVERIFY(!dialog.isVisible());
        QVERIFY(!dialog.isSearching());
        QTRY_COMPARE_WITH_TIMEOUT(loading.count(), 2, kWaitMs);
        QCOMPARE(loading.last().at(0).toBool(), false);
        QCoreApplication::processEvents();
        QCOMPARE(completed.count(), 0);
        QCOMPARE(dialog.form()->listWidget_cameras->count(), 0);
    }

    // The title bar's close button and Esc end the search the same way.
    void windowCloseAndEscapeEndASearch() {
        for (const bool escape : {false, true}) {
            HeldSearch held;
            held.hold();
            auto release = qScopeGuard([&] { held.release(); });
            ZvEthCameraConfigTool dialog(held.search(), nullptr);
            dialog.show();
            QVERIFY(held.waitHolding());
            if (escape)
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else
                dialog.form()->pb_win_close->click();
            QVERIFY(!held.holding());
            QVERIFY(held.endedByStop());
            QVERIFY(!dialog.isVisible());
        }
    }

    // Destroying the dialog during a search joins the thread; its last signals reach the objects
    // still there and nothing reaches the dialog.
    void destroyingDuringASearchEndsIt() {
        HeldSearch held;
        held.hold();
        auto release = qScopeGuard([&] { held.release(); });
        auto* dialog = new ZvEthCameraConfigTool(held.search(), nullptr);
        GuiSpy loading(dialog, &ZvEthCameraConfigTool::signalLoadingStatus);
        dialog->show();
        QVERIFY(held.waitHolding());
        delete dialog;
        QVERIFY(!held.holding());
        QVERIFY(held.endedByStop());
        QTRY_COMPARE_WITH_TIMEOUT(loading.count(), 2, kWaitMs);
        QCOMPARE(loading.last().at(0).toBool(), false);
    }

    // A dialog closed before its first search started does not search.
    void closedBeforeItsFirstSearchDoesNotSearch() {
        auto* dialog = new ZvEthCameraConfigTool(nullptr);
        GuiSpy loading(dialog, &ZvEthCameraConfigTool::signalLoadingStatus);
        dialog->close();
        QCoreApplication::processEvents();
        QVERIFY(!dialog->isSearching());
        delete dialog;
        QCoreApplication::processEvents();
        QCOMPARE(loading.count(), 0);
    }

    // From the main window: Tools > IP Configuration opens the dialog modally; it lists the
    // cameras, configures one, and its tips become toasts of the main window; the busy window of
    // the search is gone when the dialog has closed.
    void endToEndFromTheMainWindow() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        QAction* action = menuAction(window.form()->pb_tools, "IP Configuration");
        QVERIFY(action);
        bool handled = false;
        bool modal = false;
        bool on_top = false;
        QStringList serials;
        const QString shot = qEnvironmentVariable("ZELVAN_SCREENSHOT_IPCONFIG");
        bool shot_saved = false;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* dialog = window.findChild<ZvEthCameraConfigTool*>();
            if (handled || !dialog || !dialog->isVisible() || dialog->isSearching()) return;
            handled = true;
            poll.stop();
            modal = QApplication::activeModalWidget() == dialog;
            on_top = dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
            serials = listedSerials(*dialog);
            if (!shot.isEmpty()) {
                // The window with the dialog where it stands over it.
                QPixmap picture = window.grab();
                QPainter painter(&picture);
                painter.drawPixmap(window.mapFromGlobal(dialog->geometry().topLeft()), dialog->grab());
                painter.end();
                shot_saved = picture.save(shot);
            }
            setAddresses(*dialog, "192.168.1.77", "255.255.255.0", "192.168.1.1");
            dialog->form()->pb_config->click();
            dialog->form()->pb_close->click();
        });
        poll.start();
        action->trigger();  // returns when the dialog has closed
        QVERIFY(handled);
        QVERIFY(shot.isEmpty() || shot_saved);
        QVERIFY(modal);
        QVERIFY(on_top);
        QCOMPARE(serials, (QStringList{kFirst, kSecond}));
        QCOMPARE(deviceDescription(kFirst).cameraIp, std::string("192.168.1.77"));
        QVERIFY(!window.findChild<ZvEthCameraConfigTool*>());
        QStringList toasts;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                toasts.clear();
                for (const auto* toast : window.findChildren<ZvFilePathReminderForm*>())
                    toasts << toast->tipsText();
                return toasts.contains("Refresh completed!") && toasts.contains("Configuration successful!");
            }(),
            kWaitMs);
        for (auto* toast : window.findChildren<ZvFilePathReminderForm*>()) {
            if (toast->tipsText() == "Configuration successful!")
                QCOMPARE(toast->messageType(), ZvMessageType::Success);
        }
        auto* busy = window.findChild<WaitingWindow*>();
        QVERIFY(busy);
        QTRY_VERIFY_WITH_TIMEOUT(!busy->isVisible(), kWaitMs);
        QCOMPARE(window.viewerMode(), NoDevice);
    }
};

ZELVAN_VIEWER_TEST_MAIN(EthCameraConfigTests)
#include "EthCameraConfigTests.moc"
