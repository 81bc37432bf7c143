// quorvelin, the image-filter plug-in: a shared object the module loader
// opens from the module directory, with its section-definition file
// quorvelin.xml beside it. Response bodies that are images are scored by the
// vendor's image-analysis engine on a scale from -10 (harmless) to 10 (most
// objectionable); an image whose score reaches the threshold of the rule
// that applies is replaced by the block page, and the URL command "imgscore"
// answers with the image with its score drawn on it.
//
// How it joins the daemon (only through what the executable exports):
// - quorvelin_load, the entry the loader calls, builds the section
//   "quorvelin" and registers quorvelin_initialize for HOOK_CONFIGURE. The
//   section's constructor registers quorvelin_respcheck
//   (PROCESSOR_RESPCHECK), quorvelin_buffcheck (PROCESSOR_BUFFCHECK) and
//   quorvelin_prerespmod (HOOK_PRERESPMOD); being registered after every
//   section of the daemon, they run last in their stage.
// - quorvelin_initialize, once at start-up after the configuration load,
//   binds the engine from the section's directory (engine.h) and reads the
//   tune table (tune.h). Until the engine is bound (`ready`) no rule ever
//   applies: nothing is collected, scored or drawn.
//
// Scoring follows the scanner pattern of the daemon's antivirus clients: a
// rule applies when the filter is on, the engine is ready, the connection
// does not bypass the content scanners (BYPASS_ANTIVIRUS) and an enabled
// rule's profiles match; then the response body is collected (unless it is
// a cached copy that already passed the response checks) and scored at the
// response check. Scanners fail open: a body that is no image, is smaller
// than 50 pixels either way, declares more pixels than "maxpixels", or that
// the engine cannot take, passes unscored.
//
// Connections, bodies and template variables are the daemon's, used only
// during a call; the plug-in frees only what it allocated.
//
// Locks: the rules are read under the section's read lock, held only while
// the rule is found and its values copied; scoring, drawing and sending run
// without it. update() runs with the write lock held by the configuration
// framework. The engine binding, `ready` and the tune table are written on
// the start-up thread before any worker exists and read without a lock; the
// engine's functions are called from many workers at once.
#pragma once

#include <stdint.h>

#include <list>
#include <string>

#include "config/config_lists.h"
#include "config/section.h"
#include "filter/rules.h"
#include "quorvelin/tune.h"
#include "scan/scanner.h"

struct CONNECTION_T;
class Filebuf;

// The score of a body that was not scored.
constexpr float IMAGE_NOT_SCANNED = -11.0f;

// One rule of the subsection "rules", built from an entry by position:
// 0 enabled, 1 comment, 2 profiles, 3 threshold, 4 template. Scoped as every
// scanner and filter rule is (RuleScope::applies); it names no user groups.
class Quorvelin : public RuleScope {
public:
    explicit Quorvelin(const Item& item);

    double threshold;          // score at or above which an image is blocked
    std::string template_name; // the rule's block page; empty: none
};

class QuorvelinSection : public Section {
public:
    QuorvelinSection();
    ~QuorvelinSection() override;

    // Rebuilds the rules from the entries of the first subsection.
    void update() override;

    // Start-up (the HOOK_CONFIGURE callback), after the configuration load:
    // initialize_engine binds the engine and sets `ready` (engine.cpp);
    // initialize_array sets the default tune table and reads the tune file
    // (0 when taken, -1 when the defaults stay).
    void initialize_engine();
    int initialize_array();

    // The filter's switch, read under the read lock.
    bool is_enabled() const;

    // The rule that applies to the connection, or NULL; the caller holds
    // the read lock.
    const Quorvelin* find(CONNECTION_T* connection) const;
    // Whether the response body must be collected for scoring: a rule
    // applies and the body is not a cached copy that already passed the
    // response checks. Takes the read lock.
    bool check_match(CONNECTION_T* connection) const;

    // The engine sensitivity a threshold asks for (the tune table).
    int engine_tune(float threshold) const;
    // The score of the engine's raw result: piecewise linear through
    // (0, -10), (300, -2), (600, 0), (6000, 2), (10000, 10), held at the
    // ends.
    static float score_map(float raw);

    // Scores one body for the threshold: the score, or IMAGE_NOT_SCANNED.
    // Sets the template variables ENGINE_SENSITIVITY, SCAN_RESULT,
    // IMAGE_DIM and IMAGE_SIZE and logs the verdict line.
    float scan_image(CONNECTION_T* connection, Filebuf* body, float threshold) const;

    // The response check: scores the collected body and, when it reaches
    // the threshold, answers with the block page and fills the access-log
    // record. SCAN_BLOCKED after a block, else SCAN_PASS.
    int check_and_block(CONNECTION_T* connection, Filebuf* body) const;
    // The block page for a rule: its own, else the section's, else the
    // built-in "checkeredgif". The caller holds the read lock.
    std::string block_page(const Quorvelin& rule) const;
    // Answers with the block page for an image scored at or over the
    // threshold and fills the access-log record; SCAN_BLOCKED.
    int block_image(CONNECTION_T* connection, const std::string& page, double threshold,
                    float score) const;

    // The "imgscore" answer (score_image.cpp): the image with its score
    // drawn on it, sent as the whole response. True when the client has
    // been answered - by the score image, or by the block page of another
    // response check or of this filter, which still apply. False (the
    // response goes its normal way) when no rule applies, the body is not
    // scored or cannot be drawn, or there is no client.
    bool show_score(CONNECTION_T* connection, Filebuf* body);

    int* enabled;               // global field 0
    std::string* directory;     // global field 1: engine libraries and tune file
    std::string* template_name; // global field 2: the section's block page
    uint32_t* max_pixels;       // global field 3: largest image scored or drawn
    std::list<Quorvelin> rules;
    TuneTable tune;
    bool ready;                 // the engine is bound and initialised
};

extern QuorvelinSection* quorvelin_section;

// The registered callbacks.
extern "C" {
bool quorvelin_load();
}
int quorvelin_initialize(void* unused, void* unused_too);
int quorvelin_buffcheck(CONNECTION_T* connection, Filebuf* unused);
int quorvelin_respcheck(CONNECTION_T* connection, Filebuf* body);
int quorvelin_prerespmod(void* connection, void* body);
