#pragma once
#include "convert/Tags.h"

class TEncItem;
class TConvertThread;

// The tags a job's converted file gets: its title (a local file's name without
// folder and extension) and, for a link job, the link as the comment.
TOutputTags OutputTagsFor(const TEncItem& job);

// After a success: a "Warning" note when the worker could not tag the output.
void NoteTagWarning(TEncItem& job, const TConvertThread& worker);
