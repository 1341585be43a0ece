#pragma once

#include <QHostAddress>
#include <QUdpSocket>

#include <cstdint>
#include <string>
#include <vector>

// A router's datagram to a port on this machine, as the program's listeners receive it.
inline void SendTo(quint16 port, const std::vector<std::uint8_t>& bytes)
{
    QUdpSocket sender;
    sender.writeDatagram(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()),
                         QHostAddress::LocalHost, port);
}

// A MAC announcement line to the fixed announcement port 2056.
inline void Announce(const std::string& text)
{
    SendTo(2056, std::vector<std::uint8_t>(text.begin(), text.end()));
}
