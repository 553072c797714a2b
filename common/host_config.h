// HostConfig: the process-wide record of settings and service state, filled once by
// InitConfig at start-up and shared by the server, its handlers and the navigation input.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "common/db.h"

// Package download progress. The fields are atomics: the route polls them while the
// download thread writes them; the request text is written only by the route that moves
// the state from 0 to 1 and read only by the thread that state starts.
enum DownloadStateValue { DownloadIdle = 0, DownloadRequested = 1, DownloadRunning = 2, DownloadCancelling = 3 };
struct DownloadStateRec {
  std::atomic<int> bytes{0};  // bytes so far
  std::atomic<int> state{0};  // a DownloadStateValue: 3 is a cancel requested
  std::atomic<int> error{0};  // 0 or a negative code
  std::atomic<int> id{0};     // package id
  char request[256] = {};     // argument of the last start request
};

struct HostConfigRec {
  int ServerPort = 0;
  char ServerAddress[64] = {};
  std::atomic<int> ServerRunning{0};
  char TripFolder[320] = {};
  char PackageFolder[320] = {};
  char WebRoot[320] = {};
  char DeviceId[320] = {};
  DbSlot TripDb;
  DbSlot ChartDb;
  DbSlot AppDb;
  std::atomic<sqlite3_mutex *> DbMutex{nullptr};

  // alang, mlang and skin are read and written under SettingsLock; readers copy.
  std::mutex SettingsLock;
  char alang[4] = {};
  char mlang[4] = {};
  char skin[32] = {};

  DownloadStateRec DownloadState;
  char LocaleName[16] = {};

  // The last body posted to "/getSetHostStat/" with its capacity (text bytes; the
  // allocation holds one more for the NUL). Replaced and copied under HostStateLock.
  std::mutex HostStateLock;
  std::unique_ptr<char[]> HostStateBody;
  int HostStateCapacity = 0;
};

extern HostConfigRec HostConfig;

// Copies of the three settings, taken under SettingsLock.
struct SettingsCopy {
  char alang[4];
  char mlang[4];
  char skin[32];
};
SettingsCopy CopySettings();
