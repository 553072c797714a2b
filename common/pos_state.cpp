// The one PosState record and its reset.
#include "common/pos_state.h"

PosStateRec PosState;

void PosStateReset() {
  PosStateRec &p = PosState;
  p.now = 0;
  p.gpsTime = 0;
  p.fix = 0;
  p.serialInput = 0;
  p.tcpInput = 0;
  p.speed = 0;
  p.heading = 0;
  p.dbs = 0;
  p.dbt = 0;
  p.dbk = 0;
  p.hdop = 0;
  p.lastLogLon = 0;
  p.lastLogLat = 0;
  p.lastLogTime = 0;
  p.lastPassTime = 0;
  p.lastFixTime = 0;
  p.lat = kNoPosition;
  p.lon = kNoPosition;
  p.gpsTimeOffset = -1;
  p.trackMinDistance = 50;
  p.trackMaxInterval = 86400;
}
