#include "view/ShowImageForm.h"

#include "ui_ShowImageForm.h"
#include "view/ZvGraphicsView.h"

ShowImageForm::ShowImageForm(QWidget* parent) : QWidget(parent), ui_(new Ui::ShowImageForm) {
    ui_->setupUi(this);
    scene_ = new QGraphicsScene(this);
    pixmap_ = QPixmap(width_, height_);
    pixmap_.fill(QColor("#707070"));
    item_ = scene_->addPixmap(pixmap_);
    scene_->setSceneRect(pixmap_.rect());
    ui_->graphicsView->setScene(scene_);
    ui_->graphicsView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui_->graphicsView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(ui_->graphicsView, &ZvGraphicsView::signalRoiSelected, this, &ShowImageForm::signalRoiSelected);
}

ShowImageForm::~ShowImageForm() { delete ui_; }

ZvGraphicsView* ShowImageForm::view() const { return ui_->graphicsView; }

void ShowImageForm::setPixmap(const QPixmap& pixmap) {
    pixmap_ = pixmap;
    item_->setPixmap(pixmap_);
    scene_->setSceneRect(pixmap_.rect());
}

void ShowImageForm::slotShowImage(QImage image) { setPixmap(QPixmap::fromImage(image)); }

void ShowImageForm::showPixMap(QPixmap pixmap) { setPixmap(pixmap); }

void ShowImageForm::slotSetResolution(int width, int height) {
    width_ = width;
    height_ = height;
    QPixmap placeholder(width, height);
    placeholder.fill(QColor("#707070"));
    setPixmap(placeholder);
}

void ShowImageForm::slotSetRoiSelectionEnabled(bool enabled) { ui_->graphicsView->setRoiSelectionEnabled(enabled); }

void ShowImageForm::fit() {
    if (!pixmap_.isNull()) ui_->graphicsView->fitInView(item_, Qt::KeepAspectRatio);
}

void ShowImageForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    fit();
}

void ShowImageForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fit();
}
