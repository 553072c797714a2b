// What the chart handlers share with the tests and the tools.
#pragma once

// The answer to every tile the open chart package does not have.
extern const unsigned char MissingTileGif[35];
