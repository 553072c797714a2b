// Navigation input: the one sentence entry, the track logger and the sources' controls.
#pragma once

#include <cstdint>

void NmeaHandleSentence(const char *text);
double NmeaParseCoord(const char *field, const char *hemisphere);
int64_t NmeaParseTime(const char *date, const char *time);
double GreatCircleDistance(double lon1, double lat1, double lon2, double lat2);
void LocationFixInject(int64_t time, double lat, double lon, double speed, double course, double errorRadius);
void TrackLogPass();

// Serial ports and the playback file.
void SerialStartAll();

// NMEA over TCP: "/nemasock/" control; requested on/off and connection state.
void NmeaSockControl(char *hostToken, char **splitter);
int NmeaTcpRequested();  // requested on/off value
int NmeaTcpState();      // "nmea_stat": 1 running, -1 waiting after a failed connect, 0 off

// Location API source.
void LocationThreadStart();
