#include "quorvelin/tune.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/compat.h"
#include "core/log.h"
#include "core/misc.h"

namespace {

// The values after the first "=" of a line, split at ":" (runs of ":"
// count as one, empty values are dropped).
std::vector<int> values_of(const std::string& line) {
    std::vector<int> values;
    std::string list = line.substr(line.find('=') + 1);
    char** pieces = string_break(list.c_str(), ':');
    for (char** piece = pieces; piece != nullptr && *piece != nullptr; piece++)
        values.push_back(atoi_clamped(*piece));
    array_free(pieces);
    return values;
}

} // namespace

void TuneTable::set_default() {
    static const int default_thresholds[] = {-10, -2, 0, 2, 10};
    static const int default_sensitivities[] = {100, 85, 75, 65, 50};
    count = 5;
    for (int i = 0; i < count; i++) {
        thresholds[i] = default_thresholds[i];
        sensitivities[i] = default_sensitivities[i];
    }
}

int TuneTable::sensitivity(float threshold) const {
    if (thresholds[0] >= threshold)
        return sensitivities[0];
    if (threshold >= thresholds[count - 1])
        return sensitivities[count - 1];
    for (int i = 1; i < count; i++) {
        if (thresholds[i - 1] <= threshold && threshold <= thresholds[i]) {
            // Extended precision throughout, so that no difference of two
            // entries can overflow.
            long double upper = static_cast<float>(sensitivities[i - 1]);
            long double x = threshold;
            long double step = (upper - static_cast<long double>(sensitivities[i])) *
                               (x - thresholds[i - 1]) /
                               (static_cast<long double>(thresholds[i]) - thresholds[i - 1]);
            long double value = upper - step;
            // The rounding of a sensitivity near the ends of int to single
            // precision must not carry the result out of its range.
            if (value > sensitivities[i - 1])
                value = sensitivities[i - 1];
            if (value < sensitivities[i])
                value = sensitivities[i];
            return static_cast<int>(value);
        }
    }
    // Only a threshold that is no number gets here.
    return sensitivities[count - 1];
}

int tune_parse(const char* text, size_t length, const char* path, TuneTable* table) {
    std::vector<int> thresholds, sensitivities;
    size_t start = 0;
    while (start < length) {
        const char* end = static_cast<const char*>(memchr(text + start, '\n', length - start));
        size_t stop = end != nullptr ? static_cast<size_t>(end - text) : length;
        // A NUL ends the line's text, as it would for any C reader.
        std::string line(text + start, strnlen(text + start, stop - start));
        start = stop + 1;
        if (line.empty() || line.find('=') == std::string::npos)
            continue;
        if (line[0] == 'T')
            thresholds = values_of(line);
        else if (line[0] == 'E')
            sensitivities = values_of(line);
    }

    if (thresholds.empty() || sensitivities.empty() || thresholds.size() != sensitivities.size()) {
        putlog(LOG_ERROR, "modules: quorvelin: bad tune file [%s]", path);
        return -1;
    }
    if (thresholds.size() > static_cast<size_t>(TUNE_MAX)) {
        putlog(LOG_ERROR, "modules: quorvelin: tune file [%s] lists %zu values, at most %d are allowed",
               path, thresholds.size(), TUNE_MAX);
        return -1;
    }
    for (size_t i = 0; i + 1 < thresholds.size(); i++)
        if (thresholds[i] >= thresholds[i + 1]) {
            putlog(LOG_ERROR, "modules: quorvelin: threshhold data should be in ascending order %d[%d:%d]",
                   static_cast<int>(i), thresholds[i], thresholds[i + 1]);
            return -1;
        }
    for (size_t i = 0; i + 1 < sensitivities.size(); i++)
        if (sensitivities[i] <= sensitivities[i + 1]) {
            putlog(LOG_ERROR, "modules: quorvelin: engine sensitivity data should be in decending order");
            return -1;
        }

    table->count = static_cast<int>(thresholds.size());
    for (int i = 0; i < table->count; i++) {
        table->thresholds[i] = thresholds[i];
        table->sensitivities[i] = sensitivities[i];
    }
    putlog(LOG_ERROR, "modules: quorvelin: tuned from file [%s]", path);
    return 0;
}

int tune_read(const char* path, TuneTable* table) {
    struct stat info;
    if (stat(path, &info) != 0) {
        putlog(LOG_ADVICE, "modules: quorvelin: tunefile not found: %s", path);
        return -1;
    }
    FILE* file = s_fopen(path, "r");
    if (file == nullptr) {
        putlog(LOG_ERROR, "[system: open:%d:%s], in %s, failed to open tunefile: %s", errno,
               strerror(errno), "initialize_array", path);
        return -1;
    }
    // One byte more than allowed tells a file that is too large.
    std::vector<char> text(TUNE_FILE_MAX + 1);
    size_t length = fread(text.data(), 1, text.size(), file);
    int failed = ferror(file) ? errno : 0;
    fclose(file);
    if (failed != 0) {
        putlog(LOG_ERROR, "[system: read:%d:%s], in %s, failed to read tunefile: %s", failed,
               strerror(failed), "initialize_array", path);
        return -1;
    }
    if (length > TUNE_FILE_MAX) {
        putlog(LOG_ERROR, "modules: quorvelin: tune file [%s] is larger than %zu bytes", path,
               TUNE_FILE_MAX);
        return -1;
    }
    return tune_parse(text.data(), length, path, table);
}
