#pragma once

// What the programs use of the baking library: the bake records, the manager with its listener,
// the trace kernel choice with the CPU probe, the exception types, the event reporter and the
// clean-up of unfinished output files on interruption.
#include "bake/bakemanager.h"
#include "core/bakeexception.h"
#include "core/bakejob.h"
#include "core/cpufeatures.h"
#include "core/importexception.h"
#include "core/outputfile.h"
#include "events/eventreporter.h"
#include "events/postjson.h"
#include "trace/tracegridsettings.h"
