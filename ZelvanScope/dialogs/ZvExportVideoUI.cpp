#include "dialogs/ZvExportVideoUI.h"

#include "ui_ZvExportVideoUI.h"

ZvExportVideoUI::ZvExportVideoUI(QWidget* parent)
    : RangeFileDialog(parent), ui_(std::make_unique<Ui::ZvExportVideoUI>()) {
    ui_->setupUi(this);
    setFields(ui_->le_start_time, ui_->le_end_time, ui_->le_save_file_path, ui_->le_file_name);
}

ZvExportVideoUI::~ZvExportVideoUI() = default;
