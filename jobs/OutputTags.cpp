#include "jobs/OutputTags.h"

#include "convert/ConvertThread.h"
#include "jobs/EncItem.h"
#include "platform/Files.h"

TOutputTags OutputTagsFor(const TEncItem& job) {
  TOutputTags tags;
  if (job.IsLink) {
    tags.Title = job.Title;
    tags.Comment = job.Source;
  } else {
    std::string name = platform::ExtractFileName(job.Title);
    name.resize(name.size() - platform::ExtractFileExt(name).size());
    tags.Title = name.empty() ? platform::ExtractFileName(job.Title) : name;
  }
  return tags;
}

void NoteTagWarning(TEncItem& job, const TConvertThread& worker) {
  if (!worker.TagWarning.empty())
    AppendNote(job, "tags not written to " + worker.OutFile + ": " + worker.TagWarning, "Warning");
}
