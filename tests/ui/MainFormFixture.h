#pragma once

#include "FlowDatagramBuilder.h"
#include "QtPrinters.h"
#include "TDaten.h"
#include "TMainForm.h"
#include "TTimer.h"
#include "TUdpListener.h"
#include "TempDir.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QPlainTextEdit>
#include <QTest>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

// Runs `act` on the next modal window that opens (a message box or a dialog), from
// inside its event loop, as a person at the screen would.
inline void OnNextModal(std::function<void(QWidget*)> act)
{
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        poll->stop();
        poll->deleteLater();
        act(modal);
    });
    poll->start();
}

// Answers the next message box with `button`, keeping its text.
inline void AnswerMessageBox(QMessageBox::StandardButton button, QString* text = nullptr)
{
    OnNextModal([button, text](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        if (text)
            *text = box->text();
        box->button(button)->click();
    });
}

// A main window on free loopback ports, in a working directory of its own, with a
// clock the test sets.
class MainFormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Previous = std::filesystem::current_path();
        std::filesystem::current_path(Dir.Path);
    }
    void TearDown() override
    {
        Form.reset();
        std::filesystem::current_path(Previous);
    }

    // Creates the window; the state file, if any, must be in place before Show().
    void Create()
    {
        Form = std::make_unique<TMainForm>(Daten, 0, 0);
        Form->Clock = [this] { return Now; };
    }
    void Show()
    {
        Form->show();
        ASSERT_TRUE(Form->Collector().Started());
    }
    // A shown window whose display refresh runs only when the test calls it.
    void ShowWithoutTicks()
    {
        Create();
        Show();
        Form->Timer(QStringLiteral("TimerShowing")).SetEnabled(false);
    }

    void SendFlow(const std::vector<std::uint8_t>& bytes) { Send(bytes, Form->Collector().FlowListener().Port()); }
    void SendMac(const std::string& text)
    {
        Send(std::vector<std::uint8_t>(text.begin(), text.end()), Form->Collector().MacListener().Port());
    }
    void Send(const std::vector<std::uint8_t>& bytes, quint16 port)
    {
        Sender.writeDatagram(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()),
                             QHostAddress::LocalHost, port);
    }

    template <typename T>
    T* Child(const char* name) const
    {
        return Form->findChild<T*>(QString::fromLatin1(name));
    }
    QString LabelText(const char* name) const { return Child<QLabel>(name)->text(); }
    QString MemoText(const char* name) const { return Child<QPlainTextEdit>(name)->toPlainText(); }

    TTempDir Dir;
    std::filesystem::path Previous;
    TDaten Daten;
    TLocalTime Now = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
    std::unique_ptr<TMainForm> Form;
    QUdpSocket Sender;
};
