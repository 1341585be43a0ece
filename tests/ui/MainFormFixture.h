#pragma once

#include "FlowDatagramBuilder.h"
#include "QtPrinters.h"
#include "TDaten.h"
#include "TMainForm.h"
#include "TTimer.h"
#include "TUdpListener.h"
#include "TempDir.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

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
        ASSERT_TRUE(Form->Started());
    }

    void SendFlow(const std::vector<std::uint8_t>& bytes) { Send(bytes, Form->FlowListener().Port()); }
    void SendMac(const std::string& text)
    {
        Send(std::vector<std::uint8_t>(text.begin(), text.end()), Form->MacListener().Port());
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
