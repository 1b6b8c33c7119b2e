#include "panel/PassThroughConfig.h"

#include "wire/Ini.h"

#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <regex>

namespace panel {

namespace {

std::string interfaceMac(const std::string &name)
{
    std::ifstream in("/sys/class/net/" + name + "/address");
    std::string mac;
    std::getline(in, mac);
    return mac;
}

std::string interfaceIp(const std::string &name)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    std::string ip;
    for (ifaddrs *a = list; a && ip.empty(); a = a->ifa_next) {
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET && name == a->ifa_name) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr, text, sizeof text);
            ip = text;
        }
    }
    freeifaddrs(list);
    return ip;
}

} // namespace

bool PassThroughConfig::load(const std::string &path, std::string *error)
{
    wire::Ini ini;
    if (!ini.load(path, error))
        return false;
    static const std::regex mac("([0-9A-Fa-f]{1,2}:){5}[0-9A-Fa-f]{1,2}");
    static const std::regex ip("[0-9]{1,3}(\\.[0-9]{1,3}){3}");
    static const std::regex port("COM[0-9]{1,3}");
    // What Linux accepts as an interface name (IFNAMSIZ), minus what a shell would read.
    static const std::regex name("[A-Za-z0-9_.-]{1,15}");
    static const std::regex portSetting("(COM[0-9]{1,3})\\.([a-z]+)");

    const auto &entries = ini.section("passthrough");
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto &[key, value] = entries[i];
        const std::string at = ini.at("passthrough", i);
        if (key == "ethernet") {
            if (!std::regex_match(value, name) || value == "." || value == "..") {
                *error = at + ": [passthrough] ethernet=" + value + " is not an interface name";
                return false;
            }
            ethernet = value;
        } else if (key == "announce-mac") {
            if (!std::regex_match(value, mac)) {
                *error = at + ": [passthrough] announce-mac=" + value + " is not a MAC address";
                return false;
            }
            announceMac = value;
        } else if (key == "announce-ip") {
            if (!std::regex_match(value, ip)) {
                *error = at + ": [passthrough] announce-ip=" + value + " is not an IPv4 address";
                return false;
            }
            announceIp = value;
        } else if (std::regex_match(key, port)) {
            serialPorts[key] = value;
        } else if (std::smatch setting; std::regex_match(key, setting, portSetting)) {
            std::string why;
            if (!serialLines[setting[1]].set(setting[2], value, &why)) {
                *error = at + ": [passthrough] " + key + "=" + value + ": " + why;
                return false;
            }
        } else {
            // A misspelt ethernet= would otherwise leave the port silently unserved.
            *error = at + ": [passthrough] " + key + "= is not a setting (ethernet=, announce-mac=, "
                     "announce-ip=, COM1= ..., COM1.baud= ...)";
            return false;
        }
    }
    for (const auto &[port, line] : serialLines) {
        if (!serialPorts.count(port)) {
            *error = path + ": [passthrough] has settings for " + port + " but no " + port + "=DEVICE";
            return false;
        }
    }
    if (!ethernet.empty()) {
        if (announceMac.empty())
            announceMac = interfaceMac(ethernet);
        if (announceIp.empty())
            announceIp = interfaceIp(ethernet);
    }
    return true;
}

} // namespace panel
