// The switches the compression methods act on: which method packs, the
// level of the default method, the window and block mode.
#pragma once

struct CodecSettings {
  int level = 0;            // default method: 2, 1, 0 (default), -1, -2 from best to fastest
  int highMethodOrder = 0;  // 0 off, else 3, 4 or 5: pack with the high method of that order
  int methodFive = 0;       // pack with method five
  int blockMode = 0;        // all members form one stream: the window carries over
  int narrowWindow = 0;     // narrow-window variant of the default method
};

extern CodecSettings codecSettings;
