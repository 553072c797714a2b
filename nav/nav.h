// Navigation input: the one sentence entry, the track logger and the sources' controls.
#pragma once

#include <cstdint>

#include "nav/track_log.h"

void NmeaHandleSentence(const char *text);
double NmeaParseCoord(const char *field, const char *hemisphere);
int64_t NmeaParseTime(const char *date, const char *time);
void LocationFixInject(int64_t time, double lat, double lon, double speed, double course, double errorRadius);

// Serial ports and the playback file.
void SerialStartAll();

// NMEA over TCP: "/nemasock/" control; requested on/off and connection state.
void NmeaSockControl(char *hostToken, char **splitter);
int NmeaTcpRequested();  // requested on/off value
int NmeaTcpState();      // "nmea_stat": 1 running, -1 waiting after a failed connect, 0 off

// Location API source.
void LocationThreadStart();
