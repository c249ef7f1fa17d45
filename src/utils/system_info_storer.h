#pragma once

#include "utils/lazy_singleton.h"

#include <QMutex>
#include <QObject>
#include <QStringList>

class QThread;

// Keeps the processor, board and graphics facts and the drive serial the
// client asks for. The tools that find them take seconds, so they run once
// on the storer's worker thread; the getters answer from the cache at once,
// or with nothing now and a signal later.
class SystemInfoStorer : public QObject
{
    Q_OBJECT
public:
    static SystemInfoStorer *instance();
    ~SystemInfoStorer() override;

    // Later calls do nothing.
    void startThread();
    void stopThread();

    // The CPU, board and GPU facts as compact JSON texts and the drive serial
    // as plain text, in this order; empty until the first run has ended.
    // A filled cache is also announced through getCpuAndBoardInfoFinished.
    QStringList getCpuAndBoardInfo();
    // 0 until known, then 1; a known value is also announced through
    // getIsQSMotherBoardFinished.
    int getIsQSMotherBoard();
    // The same answer, neither announced nor asked for.
    int isQSMotherBoardKnown();

Q_SIGNALS:
    void getCpuAndBoardInfoFinished(QStringList resList);
    void getIsQSMotherBoardFinished(int isQSMotherBoard);

private Q_SLOTS:
    void onGetCpuAndBoardInfo();
    void onGetIsQSMotherBoard();
    void slotUpdateHardwareJsonFile(const QStringList &resList);

private:
    SystemInfoStorer();
    friend class AppStore::LazySingleton<SystemInfoStorer>;

    QStringList cachedList();

    QThread *m_thread = nullptr;
    // The getters run on their callers' threads while the worker fills the
    // caches; the list is published whole, never half-built.
    QMutex m_cacheMutex;
    QStringList m_cpuAndBoardInfoList;
    int m_isQSMotherBoard = 0;
    // Keeps two file steps (worker and a getter) from writing at once.
    QMutex m_fileMutex;
};
