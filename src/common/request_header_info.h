#pragma once

#include <QString>

// The identity block of a store request: the statistics header texts and the
// User-Agent text are built from it.
struct BiHeaderInfo
{
    QString device_id;
    QString uid;
    QString client = QStringLiteral("app_store");
    QString client_version;
    QString os;
    QString os_version; // major version, ",", minor version
    QString os_build;
    QString channel;
    QString cpuid;
    QString uuid;
    QString SN;
    QString code;
};

// The device, system and client facts every store request and statistics
// report carries. Each field is named after the request header that carries
// it; "eabi" holds the video memory size and "mac" the machine id.
struct RequestHeaderInfo
{
    QString arch;
    QString mode;
    QString platform;
    QString region;
    QString language;
    QString baseline_version;
    QString baseline_main_version;
    QString os_build;
    QString client_version;
    QString eabi;
    QString mac;
    QString userid;
    QString referer;
    QString motherboard;
    QString cpu_clip;
    QString token;
    BiHeaderInfo biHeader;
    QString iswayland;
    QString supfeatures;
};
