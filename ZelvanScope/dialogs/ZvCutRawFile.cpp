#include "dialogs/ZvCutRawFile.h"

#include "ui_ZvCutRawFile.h"

ZvCutRawFile::ZvCutRawFile(QWidget* parent)
    : RangeFileDialog(parent), ui_(std::make_unique<Ui::ZvCutRawFile>()) {
    ui_->setupUi(this);
    setFields(ui_->le_start_time, ui_->le_end_time, ui_->le_save_file_path, ui_->le_file_name);
}

ZvCutRawFile::~ZvCutRawFile() = default;
