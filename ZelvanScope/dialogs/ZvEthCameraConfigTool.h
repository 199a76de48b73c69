// Lists the event cameras found on Ethernet, shows each one's identity and network settings, and
// writes a new address, subnet mask and gateway into the selected one.
//
// Discovery runs on the dialog's search thread so that the dialog stays responsive. The thread
// reports signalLoadingStatus(true) when it starts and signalLoadingStatus(false) when it ends
// (also when it was told to stop), then signalRefreshCompleted() unless it was told to stop; the
// cameras it found reach the list on the GUI thread only, in slotRefreshCompleted(). While a
// search runs "Config" and "Refresh" are disabled and the list is empty. Closing the dialog (Close,
// the title bar's close button, Esc) or destroying it tells a running search to stop, joins the
// thread and empties the list: nothing the thread emits reaches the dialog after that.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "Utility/ViewerUtils.h"
#include "zelvan/CameraDescription.h"

namespace Ui {
class ZvEthCameraConfigTool;
}
class QLineEdit;

class ZvEthCameraConfigTool : public QDialog {
    Q_OBJECT
public:
    // Finds the cameras attached (all interfaces; the dialog keeps the Ethernet ones). Runs on the
    // search thread; may end early, its result unused, once `stop` is requested.
    using Search = std::function<std::vector<zelvan::CameraDescription>(std::stop_token stop)>;

    // Searches with a camera manager of its own. The first search starts as soon as the event loop
    // runs (so that connections made right after construction see all of it).
    explicit ZvEthCameraConfigTool(QWidget* parent = nullptr);
    ZvEthCameraConfigTool(Search search, QWidget* parent);
    ~ZvEthCameraConfigTool() override;

    // The search of the dialog made with no Search: a DvsCameraManager's getCameraDescs(). The
    // manager cannot be interrupted; a stop only drops what it found.
    static std::vector<zelvan::CameraDescription> searchWithManager(std::stop_token stop);

    // True from the start of a search until its cameras are listed, or until it was stopped.
    bool isSearching() const { return searching_; }
    // The Ethernet cameras listed, in the order the search returned them.
    const std::vector<zelvan::CameraDescription>& cameras() const { return cameras_; }
    Ui::ZvEthCameraConfigTool* form() const { return ui_.get(); }

    void done(int result) override;

signals:
    void signalShowLeftBottomTips(QString tips, ZvMessageType type, QString file_path);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type);
    void signalShowLeftBottomTips(QString tips);
    void signalLoadingStatus(bool);
    void signalRefreshCompleted();

private slots:
    void on_pb_win_close_clicked();
    void on_pb_close_clicked();
    void on_listWidget_cameras_currentRowChanged(int currentRow);
    void on_pb_refresh_clicked();
    void on_pb_config_clicked();
    void slotRefreshCompleted();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Empties the list and starts a new search (after ending the one running).
    void refresh();
    // Tells a running search to stop and joins the search thread.
    void endSearch();
    // Enables the buttons for the dialog's state.
    void updateButtons();
    // Shows the camera of `row` in the labels and fields, or clears them for -1.
    void showCamera(int row);
    // The address typed into `field` (first octet most significant); false, and the field marked,
    // when the text is not a dotted address.
    static bool readAddress(QLineEdit* field, uint32_t& address);
    static void markInvalid(QLineEdit* field, bool invalid);

    std::unique_ptr<Ui::ZvEthCameraConfigTool> ui_;
    Search search_;
    // GUI thread only.
    std::vector<zelvan::CameraDescription> cameras_;
    bool searching_ = false;
    bool firstSearchPending_ = true;  // the search the constructor asked for has not started yet
    uint64_t generation_ = 0;         // counts the searches started

    // Handed from the search thread to the GUI thread: the cameras of the search `foundGeneration_`.
    std::mutex foundMutex_;
    std::optional<std::vector<zelvan::CameraDescription>> found_;
    uint64_t foundGeneration_ = 0;

    std::jthread searchThread_;  // last: joined (by endSearch) before the members above go
};
