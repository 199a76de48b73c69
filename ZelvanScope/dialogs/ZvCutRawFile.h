// The modal dialog that confirms the time range, folder and file name of a cut of the open raw recording.
#pragma once

#include <memory>

#include "dialogs/RangeFileDialog.h"

namespace Ui {
class ZvCutRawFile;
}

class ZvCutRawFile : public RangeFileDialog {
    Q_OBJECT
public:
    explicit ZvCutRawFile(QWidget* parent = nullptr);
    ~ZvCutRawFile() override;

private:
    std::unique_ptr<Ui::ZvCutRawFile> ui_;
};
