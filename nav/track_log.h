// The track logger (nav/track_log.cpp), the last step of every sentence.
#pragma once

// Stores the own ship's position, at most once a second, when it lies more than
// trackMinDistance metres from the last stored one or trackMaxInterval seconds have passed.
void TrackLogPass();
