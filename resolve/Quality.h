#pragma once
#include <string>
#include <vector>

// One stream a video offers: its direct address and the file extension of a
// download (".mp4" or ".flv").
struct TLink {
  std::string Url;
  std::string Ext;
};

// One line of a job's quality list: the quality name shown to the user and the
// stream behind it. The list owns its entries (plain values).
struct TQuality {
  std::string Name;
  TLink Link;
};

using TQualityList = std::vector<TQuality>;
