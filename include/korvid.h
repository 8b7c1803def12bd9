// The Korvid support library: every operation the launcher and the library's modules call, one
// header per module under korvid/.
//
// Paths travel in caller-supplied buffers of kMaxPath characters (terminating NUL included);
// root paths in buffers of kRootBufferSize. An operation fills the buffer and returns it, or
// returns null. Failures are results: the failing operation records the details in the last-error
// record, reports them on the "error" trace stream and returns its failure value. Not finding a
// file is a normal result and reports nothing.
#pragma once

#include "korvid/startup.h"  // start-up and shutdown, home, profile and working directories
#include "korvid/errors.h"   // error records and reports
#include "korvid/trace.h"    // trace streams
#include "korvid/text.h"     // the case rule of names, tokenizers
#include "korvid/path.h"     // path rules, the path buffers' sizes
#include "korvid/files.h"    // file tests, forced delete, shutdown clean-up
#include "korvid/cfg.h"      // ini files
#include "korvid/config.h"   // configuration values and application names
#include "korvid/fndb.h"     // file name databases
#include "korvid/roots.h"    // TEXMF roots and their fndbs
#include "korvid/search.h"   // search paths and the file search
#include "korvid/scratch.h"  // the scratch directory
#include "korvid/perl.h"     // finding Perl
