#include "view/ShowImageForm.h"

#include "ui_ShowImageForm.h"
#include "view/ZvGraphicsView.h"

ShowImageForm::ShowImageForm(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::ShowImageForm>()) {
    ui_->setupUi(this);
    scene_ = new QGraphicsScene(this);
    item_ = scene_->addPixmap(QPixmap());
    showPlaceholder();
    ui_->graphicsView->setScene(scene_);
    ui_->graphicsView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui_->graphicsView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(ui_->graphicsView, &ZvGraphicsView::signalRoiSelected, this, &ShowImageForm::signalRoiSelected);

    // Lies over the view, in the same cell of the grid.
    hint_ = new QLabel(this);
    hint_->setText(tr("Open a camera (Device > Open Camera) or a recording (File > Open Recording)"));
    hint_->setObjectName("label_start_hint");
    hint_->setAlignment(Qt::AlignCenter);
    hint_->setWordWrap(true);
    hint_->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui_->gridLayout->addWidget(hint_, 0, 0, Qt::AlignCenter);
}

ShowImageForm::~ShowImageForm() = default;

ZvGraphicsView* ShowImageForm::view() const { return ui_->graphicsView; }

QColor ShowImageForm::placeholderColor() const {
    return placeholderColor_.isValid() ? placeholderColor_ : palette().color(QPalette::Mid);
}

void ShowImageForm::setPlaceholderColor(const QColor& color) {
    placeholderColor_ = color;
    if (placeholderShown_) showPlaceholder();
}

void ShowImageForm::showPlaceholder() {
    QPixmap placeholder(width_, height_);
    placeholder.fill(placeholderColor());
    setPixmap(placeholder);
    placeholderShown_ = true;
}

void ShowImageForm::clearImage() {
    showPlaceholder();
    hint_->show();
}

void ShowImageForm::setPixmap(const QPixmap& pixmap) {
    pixmap_ = pixmap;
    placeholderShown_ = false;
    item_->setPixmap(pixmap_);
    scene_->setSceneRect(pixmap_.rect());
}

void ShowImageForm::slotShowImage(QImage image) {
    hint_->hide();
    setPixmap(QPixmap::fromImage(image));
}

void ShowImageForm::showPixMap(QPixmap pixmap) {
    hint_->hide();
    setPixmap(pixmap);
}

void ShowImageForm::slotSetResolution(int width, int height) {
    hint_->hide();
    width_ = width;
    height_ = height;
    showPlaceholder();
}

void ShowImageForm::slotSetRoiSelectionEnabled(bool enabled) {
    ui_->graphicsView->setRoiSelectionEnabled(enabled);
}

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
