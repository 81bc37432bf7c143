#include "core/config.h"

#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <stdlib.h>
#include <time.h>

#include "auth/access.h"
#include "auth/dn_cache.h"
#include "auth/ldap.h"
#include "auth/password_cache.h"
#include "auth/profiles.h"
#include "cache/cache.h"
#include "cache/prefetch.h"
#include "config/configfile.h"
#include "config/general.h"
#include "config/section.h"
#include "config/sync.h"
#include "core/daemon.h"
#include "core/extensions.h"
#include "core/global.h"
#include "core/hash.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc_time.h"
#include "core/modules.h"
#include "core/signals.h"
#include "core/threads.h"
#include "core/timers.h"
#include "filter/cookie_filter.h"
#include "filter/dnsbl.h"
#include "filter/filter.h"
#include "filter/header_filter.h"
#include "filter/keyword.h"
#include "filter/limits_section.h"
#include "filter/mime.h"
#include "filter/redirect.h"
#include "filter/rewrite.h"
#include "filter/urlbl.h"
#include "filter/vantori.h"
#include "ftp/ftp_section.h"
#include "http/forward.h"
#include "http/icp.h"
#include "icap/icap.h"
#include "iface/performance.h"
#include "iface/templates.h"
#include "net/clientpool.h"
#include "net/connection.h"
#include "net/dnscache.h"
#include "net/network.h"
#include "net/network_section.h"
#include "net/serverpool.h"
#include "net/ssl.h"
#include "scan/clamav.h"
#include "scan/external.h"
#include "scan/fprot.h"
#include "scan/kaspersky.h"
#include "scan/sophie.h"

GLOBAL* global = nullptr;
int gmtoffset = 0;

static const int DNS_CACHE_CHAINS = 8111;
static const int DN_CACHE_CHAINS = 8111;
static const int LOGBUFFER_LINES = 1000;

void sectionxml_load(const char* path) {
    sectionxml = new tinyxml2::XMLDocument();
    if (sectionxml->LoadFile(path) != tinyxml2::XML_SUCCESS) {
        const char* error = sectionxml->ErrorStr();
        if (error == nullptr)
            error = "";
        putlog(LOG_ERROR, "Error when parsing section.xml: %s", error);
        putlog(LOG_ADVICE, "Please correct errors in section.xml: %s", error);
        exit(1);
    }
}

static void create_global() {
    global = new GLOBAL();
    pthread_mutex_init(&global->mutex, nullptr);
    pthread_mutex_init(&global->dnscache_lock, nullptr);
    pthread_rwlock_init(&global->password_cache_lock, nullptr);
    pthread_rwlock_init(&global->dn_cache_lock, nullptr);
}

static void openssl_setup() {
    // OpenSSL 3 initialises itself and locks for itself; these calls keep the
    // library's error texts loaded and its generator seeded as before.
    SSL_library_init();
    SSL_load_error_strings();
    SSL_thread_setup();
    unsigned char seed[1024];
    for (unsigned char& byte : seed)
        byte = static_cast<unsigned char>(rand() % 255);
    RAND_seed(seed, sizeof seed);
}

static void create_sections() {
    performance_log = new PerformanceLog();
    access_section = new AccessSection();
    filter_section = new FilterSection();
    prefetch_section = new PrefetchSection();
    cache_section = new CacheSection();
    general_section = new GeneralSection();
    dnsbl_section = new DnsblSection();
    network_section = new NetworkSection();
    header_section = new HeaderSection();
    template_section = new TemplateSection();
    cookie_section = new CookieSection();
    ldap_section = new LdapSection();
    rewrite_section = new RewriteSection();
    icap_section = new ICAPSection();
    fprot_section = new FProtSection();
    kaspersky_section = new KasperskySection();
    sophie_section = new SophieSection();
    vantori_section = new VANTORI_Section();
    external_section = new ExternalSection();
    ftp_section = new FtpSection();
    profile_section = new ProfileSection();
    mime_section = new MimeSection();
    redirect_section = new RedirectSection();
    keyword_section = new KeywordSection();
    forward_section = new ForwardSection();
    limit_section = new LimitSection();
    clamav_section = new ClamAVSection();
    urlbl_section = new URLBLSection();
}

static void add_timers() {
    TIMERS* timers = global->timers;
    timers_add(timers, 1, TIMER_REPEAT, limits_reset, nullptr);
    timers_add(timers, 60, TIMER_REPEAT, dnscache_clean, nullptr);
    timers_add(timers, password_cachexpire, TIMER_REPEAT, password_cache_clean, nullptr);
    // Network I/O and log compression run on threads of their own, so a
    // slow master, directory or disk never holds up the one-second jobs.
    timers_add(timers, syncinterval, TIMER_REPEAT | TIMER_OWN_THREAD, config_sync, nullptr);
    timers_add(timers, 10, TIMER_REPEAT | TIMER_OWN_THREAD, ldap_configure, nullptr);
    if (PROCESS_OLD_LOGS == 1)
        timers_add(timers, 60, TIMER_REPEAT | TIMER_OWN_THREAD, zip_files, nullptr);
    // It holds each allocator arena briefly: off the one-second jobs' thread.
    timers_add(timers, MEMORY_TRIM_INTERVAL, TIMER_REPEAT | TIMER_OWN_THREAD, memory_return_free,
               nullptr);
}

static void start_service_threads() {
    prefetch_section->init_threads();
    void* (*const services[])(void*) = {
        serverpool_clean, icp_thread, unlink_thread, clientpool_thread,
        timer_thread, performance_check, vantori_cachedump,
    };
    for (auto service : services)
        thread_create_internal(service, nullptr);
}

void shutdown_services() {
    net_listen_closeall();
    if (cache_section != nullptr)
        cache_section->graceful_exit();
    if (vantori_section != nullptr)
        vantori_section->vantori_dnstofile_insert();
}

void config() {
    create_global();

    global->logbuffer = logbuffer_new(LOGBUFFER_LINES);
    if (global->logbuffer == nullptr)
        FATAL_ALLOC("src/main", static_cast<unsigned>(sizeof(LOGBUFFER)));
    log_buffer = global->logbuffer;

    // The cache clock is UTC: the local offset would put stored times and
    // converted HTTP dates hours apart outside UTC.
    gmtoffset = 0;
    openssl_setup();
    create_feedlog();

    global->dnscache = hash_create(DNS_CACHE_CHAINS);
    global->password_cache = password_cache_create(static_cast<int>(password_cachesize));
    global->dn_cache = dn_cache_create(DN_CACHE_CHAINS);
    global->serverpool = new ServerPool();
    global->clientpool = new ClientPool();
    global->timers = timers_init();

    sectionxml_load(sectionfile);
    create_sections();

    modules_load();
    globalstats_init();
    signal_setup();
    net_init();

    if (configfile[0] != '\0')
        config_load(3, configfile);
    if (slave)
        config_sync(nullptr);
    hooks.Execute(HOOK_CONFIGURE, nullptr, nullptr);

    putlog(LOG_NETWORK, "proxy hostname: %s",
           proxyhost[0] != '\0' ? proxyhost : general_section->hostname_get().c_str());

    // A daemon without a listener would run on, serving nobody.
    int listeners = 0;
    if (listenip[0] != '\0' && net_listen(listenport, listenip) != -1)
        listeners++;
    listeners += network_section->check();
    if (listeners == 0)
        startup_failed("no listener could be opened (see the error log for each address); "
                       "kestrivan stops");
    urlbl_section->load();

    add_timers();
    start_service_threads();
    putlog(LOG_DEBUG, "GMT offset is -%u seconds", static_cast<unsigned>(gmtoffset));
}

void mainloop() {
    startup_logs_check();
    config();
    daemon_ready();
    for (;;) {
        CONNECTION_T* connection = net_accept(-1);
        if (connection == nullptr)
            continue;
        connection->client_id = next_clientid();
        global->clientpool->Add(connection);
    }
}
