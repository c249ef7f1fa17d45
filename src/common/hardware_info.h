#pragma once

#include <QString>

// Processor facts, as lscpu, /proc/cpuinfo and dmidecode give them.
struct CpuInfo
{
    QString modelName;
    QString cpuCores;
    QString cpuMHz;
    QString vendorID;
    QString cpuID; // the processor id's byte pairs joined by "-"
};

// Main-board facts from the firmware tables.
struct BoardInfo
{
    QString board_name;
    QString board_serial;
    QString board_vendor;
    QString board_version;
    QString board_uuid; // the product uuid
};

struct GpuInfo
{
    QString name;
    QString manufacturers;
    QString model;
    QString version;
    QString gpuMemorySize; // "%1GB"
    QString bitWidth;
    QString frequency;
};
