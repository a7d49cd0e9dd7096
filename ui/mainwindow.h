#pragma once
// The main window: the tree of devices, local databases and conversations,
// the message list and the conversation view.
#include <QMainWindow>

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;
};
