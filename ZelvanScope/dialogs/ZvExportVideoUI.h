// The modal dialog that confirms the time range, folder and file name of a video export of the open raw
// recording.
#pragma once

#include <memory>

#include "dialogs/RangeFileDialog.h"

namespace Ui {
class ZvExportVideoUI;
}

class ZvExportVideoUI : public RangeFileDialog {
    Q_OBJECT
public:
    explicit ZvExportVideoUI(QWidget* parent = nullptr);
    ~ZvExportVideoUI() override;

private:
    std::unique_ptr<Ui::ZvExportVideoUI> ui_;
};
