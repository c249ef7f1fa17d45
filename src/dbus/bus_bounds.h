#pragma once

#include <QtGlobal>

// Every number that bounds what callers may make the daemon hold on its bus
// connection, or how often it looks, each with what it bounds and why that
// value. The system bus's own limits they are measured against: 2,048
// connections in all and 256 per user, 128 replies a connection may wait
// for, 127 MiB it may have queued either way.
namespace AppStore::BusBounds {

// ---- Calls held (BusCallQueue, CallBounds) ----

// Calls one user may have held over all its connections: a store page asks
// once per listed application, and the bus lets a connection wait for 128.
constexpr int kMaxCallsPerUser = 1024;
// The bytes those calls took on the wire: a few big requests or lists.
constexpr qint64 kMaxBytesPerUser = 8 * 1024 * 1024;
// Calls held over all callers: four users' shares, far below where the bus
// library stops reading the connection (kReceiveLimit).
constexpr int kMaxCalls = 4 * kMaxCallsPerUser;
constexpr qint64 kMaxBytes = 4 * kMaxBytesPerUser;
// Root's and the seat user's rooms are each this part of the whole, which no
// other caller takes: what the others hold never shuts them out.
constexpr int kKeptRoomDivisor = 8;
// The calls of connections whose user is not known yet take at most this
// part of the whole, outside the kept rooms: a store client's first burst
// fits, fresh connections of one user cannot fill everything.
constexpr int kUnknownRoomDivisor = 2;
// The waiting room, where a call that fits nowhere waits unworked until its
// user is known, holds one call per sender: a small one (a request, a hook's
// report) always, as the system bus lets 2,048 connections in all; bigger
// ones within kMaxBytes / kKeptRoomDivisor.
constexpr int kMaxWaitingCalls = 2048;
constexpr qint64 kMaxWaitingCallBytes = 4096;

// ---- What the bus library reads and sends (BusConnectionLimits) ----

// What the bus library lets the connection hold of received, unfreed
// messages before it stops reading (its own default is 63 MiB): the held
// calls lie far below, the rest is room for what a flood puts on the queue
// while the main thread is busy.
constexpr qint64 kReceiveLimit = 4 * kMaxBytes;
// Any caller may attach this many file descriptors to any call (the bus's
// own bound per message); they stay open while the call is held, so no more
// calls are held in all than the open-file limit / kMaxFilesPerMessage.
constexpr qint64 kMaxFilesPerMessage = 16;
// Files the daemon opens itself: databases, logs, tools' pipes, sockets.
constexpr qint64 kFilesOfItsOwn = 1024;
// While the connection has more than this queued for the bus (the bus holds
// back what callers and listeners do not read), no call is worked: what the
// daemon queues, replies included, stays bounded.
constexpr qint64 kMaxOutgoingBytes = 16 * 1024 * 1024;
// The outgoing queue is read under the bus library's lock, which the bus
// thread holds while it reads: looked at afresh at most this often for a
// flood's calls, and this often while calls wait for room.
constexpr qint64 kOutgoingSampleMs = 5;
constexpr int kRoomPollMs = 50;
// How long the last replies may take to leave before the process ends.
constexpr int kFlushWaitMs = 1000;

// ---- Broadcasts (BroadcastOutbox, CallCoalescer) ----

// Past this queued for the bus, broadcasts wait (a later one telling the
// same thing replaces the one waiting); a quarter of the calls' bound, so
// that replies keep room.
constexpr qint64 kMaxOutgoingBroadcastBytes = 4 * 1024 * 1024;
// Broadcasts waiting beyond this are dropped: listeners that do not read
// hold nobody's memory.
constexpr int kMaxWaitingBroadcasts = 1024;
// How often waiting broadcasts look for room.
constexpr int kBroadcastPollMs = 50;
// An open call that broadcasts or starts work runs at most once this often
// for a flood of them: a listener needs no more.
constexpr int kCoalescePeriodMs = 1000;

// ---- Answers callers leave unread (UnreadReplies) ----

// What one user's connections may leave unread at the bus: far below the
// 127 MiB the bus lets a connection have queued, above what a client that
// reads its answers ever leaves there.
constexpr qint64 kMaxUnreadBytesPerUser = 16 * 1024 * 1024;
// What the callers whose user is not known yet may leave unread between
// them before each is asked about: a user's share more beside any user's.
constexpr qint64 kMaxUnreadBytesOfUnknownUsers = kMaxUnreadBytesPerUser / 4;
// A caller's user is asked of the bus once it has this much unread.
constexpr qint64 kAskUserUnreadBytes = 1024 * 1024;
// What the bus may hold of the daemon's sending before its callers are
// looked at one by one.
constexpr qint64 kLookAtCallersBytes = 4 * 1024 * 1024;
// How often the daemon's own connection is looked at while it answers.
constexpr int kUnreadLookMs = 250;
// Callers kept track of: the system bus lets 2,048 connections in all.
constexpr int kMaxTrackedCallers = 2048;

// ---- Reading while the main thread is behind (BusWatchdog) ----

// A flood read while the main thread is kHeldBackBeats beats behind stays a
// few thousand calls; a shorter beat would cost the idle daemon wakeups.
constexpr int kWatchdogPeriodMs = 50;
constexpr int kHeldBackBeats = 2;

// ---- Questions about callers (CallerIdentity, UnreadReplies) ----

// The bus daemon and the login manager answer at once; a question that
// outlives this gets no answer, and its call an error.
constexpr int kCallerQuestionTimeoutMs = 3000;
constexpr int kStatsQuestionTimeoutMs = 2000;
// Senders whose user is remembered: the system bus lets 2,048 connections.
constexpr int kMaxRememberedSenders = 4096;

// ---- Stopping ----

// A long call is told to end at quit; a store query in work ends within
// moments, a package tool's query within its own time limit.
constexpr int kLongCallStopWaitMs = 3000;

} // namespace AppStore::BusBounds
