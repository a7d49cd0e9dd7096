#include "ui/mainwindow.h"

#include "app/stylesheet.h"

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QObject::tr("Quillmarten Parlevane"));
    setStyleSheet(::styleSheet());
    resize(960, 640);
}

MainWindow::~MainWindow() = default;
