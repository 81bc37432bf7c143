// Configuration section: keyword scoring.
// Until its rules are built the section exists only so that start-up can
// create it in its place among the others.
#pragma once

#include "config/section.h"

struct CONNECTION_T;

class KeywordSection : public Section {
public:
    KeywordSection();
    void update() override {}
};

extern KeywordSection* keyword_section;

// Answers the URL command "score" with the keyword score of the response
// body (the page "unknown" until the page exists); 1 when something was
// sent.
int score_show(CONNECTION_T* connection, int score);
