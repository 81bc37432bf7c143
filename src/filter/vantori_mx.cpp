#include "filter/vantori_mx.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>
#include <string.h>

#include "filter/vantori_categories.h"

int (*vantori_mx_query)(const char* name, unsigned char* answer, int size) = vantori_resolver_query;

int vantori_resolver_query(const char* name, unsigned char* answer, int size) {
    // A state of our own: the time-outs below apply to this query only,
    // and the configuration is read afresh, as the process-wide state does
    // at its first use.
    struct __res_state state;
    memset(&state, 0, sizeof state);
    if (res_ninit(&state) != 0) {
        res_nclose(&state);
        return -1;
    }
    if (state.retrans > VANTORI_QUERY_TIMEOUT || state.retrans <= 0)
        state.retrans = VANTORI_QUERY_TIMEOUT;
    state.retry = 1;
    int length = res_nquery(&state, name, ns_c_in, ns_t_mx, answer, size);
    res_nclose(&state);
    return length;
}

static unsigned read16(const unsigned char* at) {
    return static_cast<unsigned>(at[0]) << 8 | at[1];
}

int vantori_mx_decode(const unsigned char* answer, int length, int* scores) {
    if (answer == nullptr || length < HFIXEDSZ)
        return 0;
    const unsigned char* end = answer + length;
    const unsigned char* position = answer + HFIXEDSZ;

    unsigned questions = read16(answer + 4);
    for (unsigned i = 0; i < questions; i++) {
        int skipped = dn_skipname(position, end);
        if (skipped < 0 || end - position - skipped < QFIXEDSZ)
            return 0;
        position += skipped + QFIXEDSZ;
    }

    // Any section: the service may put its MX records among the additional
    // records as well as in the answer.
    int named = 0;
    char name[NS_MAXDNAME];
    while (position < end) {
        int owner = dn_expand(answer, end, position, name, sizeof name);
        if (owner < 0)
            break;
        position += owner;
        if (end - position < RRFIXEDSZ)
            break;
        unsigned type = read16(position);
        unsigned data_length = read16(position + 8);
        position += RRFIXEDSZ;
        if (static_cast<unsigned>(end - position) < data_length)
            break;
        const unsigned char* record_end = position + data_length;
        if (type == ns_t_mx && data_length > 2) {
            int preference = static_cast<int>(read16(position));
            int exchange = dn_expand(answer, end, position + 2, name, sizeof name);
            if (exchange >= 0 && static_cast<unsigned>(exchange) <= data_length - 2) {
                int number = vantori_category_number(name);
                if (number >= 0) {
                    scores[number] = preference;
                    named++;
                }
            }
        }
        position = record_end;
    }
    return named;
}

int getmx(int* scores, char* name, int) {
    unsigned char answer[VANTORI_ANSWER_MAX];
    int length = vantori_mx_query(name, answer, sizeof answer);
    if (length <= 0)
        return 0;
    if (length > static_cast<int>(sizeof answer))
        length = sizeof answer;
    return vantori_mx_decode(answer, length, scores);
}
