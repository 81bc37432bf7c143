// Regular expressions, substitutions and @name@ variables; see regexp.h.
#include "core/regexp.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"

struct reg_pattern_t {
    pcre2_code* code;
    bool jit; // compiled to machine code, searched without the interpreter's set-up
};

namespace {

// Longest variable name between two '@'.
const size_t VARIABLE_NAME_MAX = 62;

uint32_t pcre2_options_of(int options)
{
    uint32_t mapped = 0;
    if (options & PCRE_CASELESS)
        mapped |= PCRE2_CASELESS;
    if (options & PCRE_MULTILINE)
        mapped |= PCRE2_MULTILINE;
    if (options & PCRE_DOTALL)
        mapped |= PCRE2_DOTALL;
    if (options & PCRE_EXTENDED)
        mapped |= PCRE2_EXTENDED;
    if (options & PCRE_UNGREEDY)
        mapped |= PCRE2_UNGREEDY;
    return mapped;
}

// Reads the reference that starts with the '@' at text[at] (size bytes in
// all). Appends what it stands for to out and returns the bytes consumed;
// 0 when the '@' starts no reference and is an ordinary byte.
size_t expand_reference(const char* text, size_t size, size_t at, template_variables& variables,
                        std::string& out)
{
    if (at + 1 < size && text[at + 1] == '@') {
        out += '@';
        return 2;
    }
    size_t limit = at + 1 + VARIABLE_NAME_MAX;
    for (size_t i = at + 1; i < size && i <= limit; i++) {
        if (text[i] != '@')
            continue;
        std::string name(text + at + 1, i - at - 1);
        auto found = variables.find(name);
        if (found == variables.end())
            variables.emplace(name, std::string());
        else
            out += found->second;
        return i - at + 1;
    }
    return 0;
}

// The match options of a match pattern: those PCRE2's POSIX wrapper gives
// the same flags, so a pattern means what it always meant.
uint32_t match_options_of(int flags)
{
    return (flags & REGEXP_ICASE) ? PCRE2_CASELESS : 0;
}

// Bounds of the calling thread's stack for machine-code searches: it starts
// small and grows as a search needs; a search that needs more than the
// largest falls back to the interpreter.
const size_t JIT_STACK_START = 32 * 1024;
const size_t JIT_STACK_MAX = 512 * 1024;

// What a search works in, one per thread: one pair of offsets is all a
// yes-or-no search needs, PCRE2 keeps its backtracking frames in the match
// block and the machine code its own stack, so none of it may be shared
// between threads. An assigned stack is also cheaper to enter than the
// default one PCRE2 builds on the machine stack at every search. Freed when
// the thread ends.
struct thread_match_block {
    pcre2_match_data* data = NULL;
    pcre2_match_context* context = NULL;
    pcre2_jit_stack* stack = NULL;

    ~thread_match_block()
    {
        if (data != NULL)
            pcre2_match_data_free(data);
        if (context != NULL)
            pcre2_match_context_free(context);
        if (stack != NULL)
            pcre2_jit_stack_free(stack);
    }
};

thread_local thread_match_block match_block;

thread_match_block& match_block_of_thread()
{
    if (match_block.data == NULL) {
        match_block.data = pcre2_match_data_create(1, NULL);
        match_block.context = pcre2_match_context_create(NULL);
        if (match_block.data == NULL || match_block.context == NULL)
            FATAL_ALLOC("src/regexp", sizeof(PCRE2_SIZE) * 2);
        // Without a stack of its own the machine code uses PCRE2's default.
        match_block.stack = pcre2_jit_stack_create(JIT_STACK_START, JIT_STACK_MAX, NULL);
        if (match_block.stack != NULL)
            pcre2_jit_stack_assign(match_block.context, NULL, match_block.stack);
    }
    return match_block;
}

// Whether the pattern compiles with these PCRE2 options; on failure
// *reason (when not NULL) receives PCRE2's message and the offset.
bool compiles(const char* pattern, uint32_t options, std::string* reason)
{
    int error;
    PCRE2_SIZE offset;
    pcre2_code* code =
        pcre2_compile((PCRE2_SPTR)pattern, PCRE2_ZERO_TERMINATED, options, &error, &offset, NULL);
    if (code != NULL) {
        pcre2_code_free(code);
        return true;
    }
    if (reason != NULL) {
        PCRE2_UCHAR message[256];
        if (pcre2_get_error_message(error, message, sizeof message) < 0)
            snprintf((char*)message, sizeof message, "error %d", error);
        *reason = std::string((const char*)message) + " at offset " + std::to_string(offset);
    }
    return false;
}

// Expands a template into out (the rules are in regexp.h, reg_sub_parse);
// group(n, out) appends captured group n, for n below `count`.
template <class Group>
void expand_template(const char* template_text, int count, Group&& group,
                     template_variables& variables, std::string& out)
{
    size_t size = strlen(template_text);
    for (size_t i = 0; i < size;) {
        char c = template_text[i];
        if (c == '$') {
            if (i + 1 == size) {
                out += '$';
                break;
            }
            char next = template_text[i + 1];
            i += 2;
            if (next == '$') {
                out += '$';
                continue;
            }
            int number = next - '0';
            if (number >= 0 && number < count)
                group(number, out);
        } else if (c == '\\') {
            if (i + 1 == size)
                break;
            char next = template_text[i + 1];
            i += 2;
            switch (next) {
            case 'a': out += '\x07'; break;
            case 'e': out += '\x1B'; break;
            case 'f': out += '\x0C'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            default: out += next; break;
            }
        } else if (c == '@') {
            size_t used = expand_reference(template_text, size, i, variables, out);
            if (used == 0) {
                out += '@';
                i++;
            } else {
                i += used;
            }
        } else {
            out += c;
            i++;
        }
    }
}

// Appends [data, data+size) to a buffer.
void add_bytes(Filebuf* buffer, const char* data, size_t size)
{
    if (size > 0)
        buffer->Add(data, (unsigned)size);
}

} // namespace

reg_pattern_t* reg_compile(const char* pattern, int flags)
{
    int error;
    PCRE2_SIZE offset;
    pcre2_code* code = pcre2_compile((PCRE2_SPTR)pattern, PCRE2_ZERO_TERMINATED,
                                     match_options_of(flags), &error, &offset, NULL);
    if (code == NULL) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        return NULL;
    }
    reg_pattern_t* compiled = (reg_pattern_t*)xmalloc(sizeof(reg_pattern_t));
    if (compiled == NULL)
        FATAL_ALLOC("src/regexp", sizeof(reg_pattern_t));
    compiled->code = code;
    // Without machine code (no JIT on this machine) the interpreter searches.
    compiled->jit = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0;
    return compiled;
}

bool reg_check(const char* pattern, int flags, std::string* reason)
{
    return compiles(pattern, match_options_of(flags), reason);
}

bool reg_sub_check(const char* pattern, int options, std::string* reason)
{
    return compiles(pattern, pcre2_options_of(options), reason);
}

int reg_exec(const reg_pattern_t* pattern, const char* text)
{
    return reg_exec_n(pattern, text, strlen(text));
}

int reg_exec_n(const reg_pattern_t* pattern, const char* text, size_t length)
{
    thread_match_block& block = match_block_of_thread();
    // A rule list costs one search per rule and request: the machine code is
    // entered directly, without pcre2_match's checks of what reg_compile
    // already made sure of.
    int result = pattern->jit ? pcre2_jit_match(pattern->code, (PCRE2_SPTR)text, length, 0, 0,
                                                block.data, block.context)
                              : pcre2_match(pattern->code, (PCRE2_SPTR)text, length, 0, 0,
                                            block.data, block.context);
    if (result == PCRE2_ERROR_JIT_STACKLIMIT)
        result = pcre2_match(pattern->code, (PCRE2_SPTR)text, length, 0, PCRE2_NO_JIT, block.data,
                             block.context);
    // 0 is a match whose groups did not fit the block: still a match.
    return result >= 0 ? 0 : 1;
}

void reg_free(reg_pattern_t* pattern)
{
    if (pattern == NULL)
        FATAL("src/regexp");
    pcre2_code_free(pattern->code);
    free(pattern);
}

regex_sub_t* reg_sub_compile(const char* pattern, int options)
{
    int error;
    PCRE2_SIZE offset;
    pcre2_code* code = pcre2_compile((PCRE2_SPTR)pattern, PCRE2_ZERO_TERMINATED,
                                     pcre2_options_of(options), &error, &offset, NULL);
    if (code == NULL) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        return NULL;
    }
    regex_sub_t* compiled = (regex_sub_t*)xmalloc(sizeof(regex_sub_t));
    if (compiled == NULL)
        FATAL_ALLOC("src/regexp", sizeof(regex_sub_t));
    compiled->code = code;
    compiled->jit = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0;
    return compiled;
}

regmatch_sub_t* reg_sub_exec(const regex_sub_t* pattern, const char* subject)
{
    // Room for every group of the pattern, so no match is lost for want of
    // space.
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(pattern->code, NULL);
    if (data == NULL)
        FATAL_ALLOC("src/regexp", sizeof(PCRE2_SIZE) * 2);
    PCRE2_SIZE length = strlen(subject);
    int result = pcre2_match(pattern->code, (PCRE2_SPTR)subject, length, 0, 0, data, NULL);
    if (result == PCRE2_ERROR_JIT_STACKLIMIT)
        result = pcre2_match(pattern->code, (PCRE2_SPTR)subject, length, 0, PCRE2_NO_JIT, data,
                             NULL);
    if (result <= 0) {
        pcre2_match_data_free(data);
        return NULL;
    }
    regmatch_sub_t* match = (regmatch_sub_t*)xmalloc(sizeof(regmatch_sub_t));
    if (match == NULL)
        FATAL_ALLOC("src/regexp", sizeof(regmatch_sub_t));
    PCRE2_SIZE* offsets = pcre2_get_ovector_pointer(data);
    match->start = (int)offsets[0];
    match->end = (int)offsets[1];
    match->count = result;
    if (pcre2_substring_list_get(data, &match->groups, &match->lengths) != 0)
        FATAL_ALLOC("src/regexp", sizeof(PCRE2_UCHAR*) * (size_t)result);
    pcre2_match_data_free(data);
    return match;
}

char* reg_sub_parse(const regmatch_sub_t* match, const char* template_text,
                    template_variables& variables)
{
    std::string out;
    expand_template(
        template_text, match->count,
        [match](int number, std::string& text) {
            text.append((const char*)match->groups[number], match->lengths[number]);
        },
        variables, out);
    char* text = xstrndup(out.data(), out.size());
    if (text == NULL)
        FATAL_ALLOC("src/regexp", out.size() + 1);
    return text;
}

int reg_replace(Filebuf* buffer, const regex_sub_t* pattern, const char* template_text,
                template_variables& variables)
{
    // The whole buffer is the subject, by its length: a NUL byte in a body
    // is one byte like any other and never ends the search.
    PCRE2_SPTR text = (PCRE2_SPTR)(buffer->data != NULL ? buffer->data : "");
    PCRE2_SIZE length = buffer->size;
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(pattern->code, NULL);
    if (data == NULL)
        FATAL_ALLOC("src/regexp", sizeof(PCRE2_SIZE) * 2);
    PCRE2_SIZE resume = 0;
    int count = 0;
    Filebuf* output = NULL;
    std::string replacement;
    while (resume <= length) {
        int result = pcre2_match(pattern->code, text, length, resume, 0, data, NULL);
        if (result == PCRE2_ERROR_JIT_STACKLIMIT)
            result = pcre2_match(pattern->code, text, length, resume, PCRE2_NO_JIT, data, NULL);
        if (result <= 0)
            break;
        PCRE2_SIZE* offsets = pcre2_get_ovector_pointer(data);
        PCRE2_SIZE start = offsets[0], end = offsets[1];
        // \K can report a match that starts before the search did or ends
        // before it starts; such a match cannot be replaced in order.
        if (start < resume || end < start)
            break;
        if (output == NULL)
            output = new Filebuf();
        add_bytes(output, (const char*)text + resume, start - resume);
        if (template_text != NULL) {
            replacement.clear();
            expand_template(
                template_text, result,
                [text, offsets](int number, std::string& out) {
                    PCRE2_SIZE from = offsets[2 * number], to = offsets[2 * number + 1];
                    if (from != PCRE2_UNSET && to >= from)
                        out.append((const char*)text + from, to - from);
                },
                variables, replacement);
            add_bytes(output, replacement.data(), replacement.size());
        }
        count++;
        if (end > start) {
            resume = end;
        } else {
            // An empty match: keep the byte after it and search on behind it;
            // at the end of the text there is nothing left to search.
            if (end == length) {
                resume = end;
                break;
            }
            add_bytes(output, (const char*)text + end, 1);
            resume = end + 1;
        }
    }
    pcre2_match_data_free(data);
    if (output == NULL)
        return 0;
    // The rest of the data after the last match.
    if (resume < length)
        add_bytes(output, (const char*)text + resume, length - resume);
    buffer->Swap(output);
    delete output;
    return count;
}

void reg_sub_match_free(regmatch_sub_t* match)
{
    if (match == NULL)
        return;
    pcre2_substring_list_free((PCRE2_SPTR*)match->groups);
    free(match);
}

void reg_sub_free(regex_sub_t* pattern)
{
    if (pattern == NULL)
        return;
    pcre2_code_free(pattern->code);
    free(pattern);
}

void variables_parse(template_variables& variables, Filebuf* buffer)
{
    if (buffer->size == 0 || memchr(buffer->data, '@', buffer->size) == NULL)
        return;
    std::string out;
    out.reserve(buffer->size);
    const char* data = buffer->data;
    size_t size = buffer->size;
    for (size_t i = 0; i < size;) {
        if (data[i] == '@') {
            size_t used = expand_reference(data, size, i, variables, out);
            if (used > 0) {
                i += used;
                continue;
            }
        }
        out += data[i];
        i++;
    }
    Filebuf expanded;
    add_bytes(&expanded, out.data(), out.size());
    buffer->Swap(&expanded);
}

int string_replace(Filebuf* buffer, const char* search, const char* replacement)
{
    size_t search_length = search == NULL ? 0 : strlen(search);
    if (search_length == 0 || buffer->size == 0)
        return 0;
    size_t replacement_length = replacement == NULL ? 0 : strlen(replacement);
    std::string out;
    const char* data = buffer->data;
    size_t size = buffer->size;
    size_t at = 0;
    bool changed = false;
    while (at < size) {
        const char* found = (const char*)memmem(data + at, size - at, search, search_length);
        if (found == NULL)
            break;
        out.append(data + at, (size_t)(found - (data + at)));
        out.append(replacement == NULL ? "" : replacement, replacement_length);
        at = (size_t)(found - data) + search_length;
        changed = true;
    }
    if (!changed)
        return 0;
    out.append(data + at, size - at);
    Filebuf replaced;
    add_bytes(&replaced, out.data(), out.size());
    buffer->Swap(&replaced);
    return 0;
}

int pcre_options(const char* letters)
{
    int options = 0;
    for (const char* p = letters; p != NULL && *p != '\0'; p++) {
        switch (*p) {
        case 'i': case 'I': options |= PCRE_CASELESS; break;
        case 'm': case 'M': options |= PCRE_MULTILINE; break;
        case 's': case 'S': options |= PCRE_DOTALL; break;
        case 'x': case 'X': options |= PCRE_EXTENDED; break;
        case 'u': case 'U': options |= PCRE_UNGREEDY; break;
        default: break;
        }
    }
    return options;
}
