/* The reference side of the end-to-end benchmark (bench/e2e.sh): a minimal
 * forwarder on rabbitmq-c's blocking API that does the broker work shardex
 * does, and nothing else. It consumes the input queue with prefetch P on one
 * connection and republishes each body unchanged to the output exchange on
 * a second connection in confirm mode, with the properties and headers it
 * came with, user_id dropped. It parses nothing: the routing key is prefix +
 * (delivery counter mod shards), or with --fanout 1 the body goes to every
 * shard, 0..n-1.
 *
 * It works as a pipeline on one thread: whatever has arrived on either
 * connection is taken at once (deliveries are published as they are read,
 * confirms are recorded), and it sleeps in poll() on both sockets only when
 * neither has anything. Deliveries are acknowledged in order, with
 * multiple=true, once every publication of theirs is confirmed: as soon as 25
 * are settled, or when every delivery it holds is. So the broker refills the
 * prefetch window while confirms are still awaited, as it does for shardex.
 * A nack, a lost connection or confirms that stop coming for 30 s end the
 * process with status 1. SIGTERM or SIGINT end it with status 0: it takes no
 * further deliveries, awaits the confirms of those it has, acknowledges them
 * and closes both connections properly.
 *
 *   bench_c_forwarder --port P --vhost V --queue Q --exchange E --prefix S --shards N --prefetch P [--fanout 0|1]
 */
#define _POSIX_C_SOURCE 200809L

#include <amqp.h>
#include <amqp_framing.h>
#include <amqp_tcp_socket.h>

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/time.h>

enum {
    Channel = 1,
    AckEvery = 25,            /* deliveries settled before a multiple ack goes out */
    FrameMax = 131072,        /* what shardex asks for */
    ConfirmTimeoutSeconds = 30,
    IdleWaitMilliseconds = 100 /* how soon a stop is noticed while nothing arrives */
};

struct settings {
    int port;
    const char *vhost;
    const char *queue;
    const char *exchange;
    const char *prefix;
    int shards;
    int prefetch;
    int fanout;
};

/* Deliveries not acknowledged yet, oldest first: at most the prefetch window. */
struct deliveries {
    size_t capacity;
    size_t head;
    size_t count;
    size_t settled;          /* from the head: deliveries whose publications are all confirmed */
    uint64_t *tags;          /* delivery tags */
    uint64_t *last_publish;  /* sequence number of each delivery's last publication */
};

/* Publications awaiting their confirm. Sequence numbers count from 1 over the
 * life of the publishing channel; at most `capacity` are open at once. */
struct publications {
    size_t capacity;
    unsigned char *confirmed; /* by sequence number modulo capacity */
    uint64_t next;            /* the number the next publication gets */
    uint64_t confirmed_up_to; /* every publication up to this one is confirmed */
};

static _Noreturn void fail(const char *what, const char *why)
{
    fprintf(stderr, "c_forwarder: %s: %s\n", what, why);
    exit(1);
}

static void check_status(int status, const char *what)
{
    if (status != AMQP_STATUS_OK)
        fail(what, amqp_error_string2(status));
}

static void check_reply(amqp_rpc_reply_t reply, const char *what)
{
    char text[300];
    switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
        return;
    case AMQP_RESPONSE_NONE:
        fail(what, "no reply");
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
        fail(what, amqp_error_string2(reply.library_error));
    case AMQP_RESPONSE_SERVER_EXCEPTION:
        break;
    }
    if (reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD || reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
        /* Both records have the same layout. */
        const amqp_connection_close_t *close = reply.reply.decoded;
        snprintf(text, sizeof text, "closed by the broker: %u %.*s", (unsigned)close->reply_code,
                 (int)close->reply_text.len, (const char *)close->reply_text.bytes);
    } else {
        snprintf(text, sizeof text, "unexpected method %s", amqp_method_name(reply.reply.id));
    }
    fail(what, text);
}

static amqp_connection_state_t open_connection(const struct settings *s, const char *name)
{
    amqp_connection_state_t state = amqp_new_connection();
    amqp_socket_t *socket = amqp_tcp_socket_new(state);
    if (!socket)
        fail(name, "cannot create a socket");
    check_status(amqp_socket_open(socket, "127.0.0.1", s->port), name);
    /* No heartbeats: the runs are short and on loopback. */
    check_reply(amqp_login(state, s->vhost, 0, FrameMax, 0, AMQP_SASL_METHOD_PLAIN, "guest", "guest"), name);
    amqp_channel_open(state, Channel);
    check_reply(amqp_get_rpc_reply(state), name);
    return state;
}

static void close_connection(amqp_connection_state_t state)
{
    amqp_channel_close(state, Channel, AMQP_REPLY_SUCCESS);
    amqp_connection_close(state, AMQP_REPLY_SUCCESS);
    amqp_destroy_connection(state);
}

static _Noreturn void usage(const char *problem)
{
    fprintf(stderr,
            "c_forwarder: %s\nusage: bench_c_forwarder --port P --vhost V --queue Q --exchange E --prefix S "
            "--shards N --prefetch P [--fanout 0|1]\n",
            problem);
    exit(2);
}

static int number(const char *option, const char *text, long min, long max)
{
    char *end = NULL;
    const long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < min || value > max) {
        char problem[200];
        snprintf(problem, sizeof problem, "%s needs a number from %ld to %ld", option, min, max);
        usage(problem);
    }
    return (int)value;
}

static struct settings parse_arguments(int argc, char **argv)
{
    struct settings s = {0, "/", NULL, NULL, NULL, 0, 0, 0};
    for (int i = 1; i < argc; i += 2) {
        const char *option = argv[i];
        if (i + 1 >= argc)
            usage("every option needs a value");
        const char *value = argv[i + 1];
        if (strcmp(option, "--port") == 0)
            s.port = number(option, value, 1, 65535);
        else if (strcmp(option, "--vhost") == 0)
            s.vhost = value;
        else if (strcmp(option, "--queue") == 0)
            s.queue = value;
        else if (strcmp(option, "--exchange") == 0)
            s.exchange = value;
        else if (strcmp(option, "--prefix") == 0)
            s.prefix = value;
        else if (strcmp(option, "--shards") == 0)
            s.shards = number(option, value, 1, 65536);
        else if (strcmp(option, "--prefetch") == 0)
            s.prefetch = number(option, value, 1, 65535);
        else if (strcmp(option, "--fanout") == 0)
            s.fanout = number(option, value, 0, 1);
        else
            usage("unknown option");
    }
    if (!s.port || !s.queue || !s.exchange || !s.prefix || !s.shards || !s.prefetch)
        usage("--port, --queue, --exchange, --prefix, --shards and --prefetch are required");
    return s;
}

static void *allocate(size_t count, size_t size)
{
    void *memory = calloc(count, size);
    if (!memory)
        fail("memory", "out of memory");
    return memory;
}

/* The routing key of every shard, made once. */
static amqp_bytes_t *routing_keys(const struct settings *s)
{
    amqp_bytes_t *keys = allocate((size_t)s->shards, sizeof *keys);
    const size_t room = strlen(s->prefix) + 8;
    for (int i = 0; i < s->shards; ++i) {
        char *key = allocate(room, 1);
        snprintf(key, room, "%s%d", s->prefix, i);
        keys[i] = amqp_cstring_bytes(key);
    }
    return keys;
}

static void publish(amqp_connection_state_t out, const struct settings *s, amqp_bytes_t key,
                    const amqp_envelope_t *envelope, struct publications *p)
{
    /* Every property as it came, the content type included (when it has
     * one), except user_id: the broker refuses a publication whose user_id
     * is not the publishing connection's user. The library encodes the
     * headers table again from its decoded form. */
    amqp_basic_properties_t properties = envelope->message.properties;
    properties._flags &= (amqp_flags_t)~AMQP_BASIC_USER_ID_FLAG;
    /* Mandatory, as shardex publishes: every shard has its queue here, so
     * nothing comes back (a basic.return would end the run as an unexpected frame). */
    check_status(amqp_basic_publish(out, Channel, amqp_cstring_bytes(s->exchange), key, 1, 0, &properties,
                                    envelope->message.body),
                 "basic.publish");
    ++p->next;
}

/* Forwards one delivery if one has arrived; returns 0 when none had. */
static int forward_one(amqp_connection_state_t in, amqp_connection_state_t out, const struct settings *s,
                       const amqp_bytes_t *keys, uint64_t *counter, struct deliveries *d, struct publications *p)
{
    struct timeval no_wait = {0, 0};
    amqp_envelope_t envelope;
    amqp_maybe_release_buffers(in);
    const amqp_rpc_reply_t reply = amqp_consume_message(in, &envelope, &no_wait, 0);
    if (reply.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION && reply.library_error == AMQP_STATUS_TIMEOUT)
        return 0;
    check_reply(reply, "waiting for a delivery");
    if (d->count == d->capacity)
        fail("consuming", "more unacknowledged deliveries than the prefetch window");
    if (s->fanout) {
        for (int i = 0; i < s->shards; ++i)
            publish(out, s, keys[i], &envelope, p);
    } else {
        publish(out, s, keys[*counter % (uint64_t)s->shards], &envelope, p);
    }
    ++*counter;
    const size_t slot = (d->head + d->count) % d->capacity;
    d->tags[slot] = envelope.delivery_tag;
    d->last_publish[slot] = p->next - 1;
    ++d->count;
    amqp_destroy_envelope(&envelope);
    return 1;
}

/* Takes one confirm if one has arrived; returns 0 when none had. */
static int read_confirm(amqp_connection_state_t out, struct publications *p)
{
    struct timeval no_wait = {0, 0};
    amqp_frame_t frame;
    amqp_maybe_release_buffers(out);
    const int status = amqp_simple_wait_frame_noblock(out, &frame, &no_wait);
    if (status == AMQP_STATUS_TIMEOUT)
        return 0;
    check_status(status, "waiting for confirms");
    if (frame.frame_type != AMQP_FRAME_METHOD)
        fail("waiting for confirms", "a frame that is not a method");
    if (frame.payload.method.id == AMQP_BASIC_NACK_METHOD)
        fail("waiting for confirms", "the broker refused a publication (basic.nack)");
    if (frame.payload.method.id != AMQP_BASIC_ACK_METHOD)
        fail("waiting for confirms", amqp_method_name(frame.payload.method.id));
    const amqp_basic_ack_t *ack = frame.payload.method.decoded;
    if (ack->delivery_tag <= p->confirmed_up_to || ack->delivery_tag >= p->next)
        fail("waiting for confirms", "a confirm for a publication not waiting for one");
    const uint64_t from = ack->multiple ? p->confirmed_up_to + 1 : ack->delivery_tag;
    for (uint64_t tag = from; tag <= ack->delivery_tag; ++tag)
        p->confirmed[tag % p->capacity] = 1;
    while (p->confirmed_up_to + 1 < p->next && p->confirmed[(p->confirmed_up_to + 1) % p->capacity]) {
        ++p->confirmed_up_to;
        p->confirmed[p->confirmed_up_to % p->capacity] = 0;
    }
    return 1;
}

/* Acknowledges (multiple) the settled deliveries at the head: once there are
 * AckEvery of them, or when every delivery held is settled. */
static void acknowledge_settled(amqp_connection_state_t in, struct deliveries *d, const struct publications *p)
{
    while (d->settled < d->count && d->last_publish[(d->head + d->settled) % d->capacity] <= p->confirmed_up_to)
        ++d->settled;
    if (d->settled == 0 || (d->settled < AckEvery && d->settled < d->count))
        return;
    const uint64_t last = d->tags[(d->head + d->settled - 1) % d->capacity];
    check_status(amqp_basic_ack(in, Channel, last, 1), "basic.ack");
    d->head = (d->head + d->settled) % d->capacity;
    d->count -= d->settled;
    d->settled = 0;
}

/* Whether a socket is worth reading: poll() said so, or the library holds
 * bytes of it not yet decoded. */
static int readable(const struct pollfd *socket, amqp_connection_state_t state)
{
    return (socket->revents & (POLLIN | POLLERR | POLLHUP)) || amqp_data_in_buffer(state)
           || amqp_frames_enqueued(state);
}

int main(int argc, char **argv)
{
    const struct settings s = parse_arguments(argc, argv);

    /* SIGTERM and SIGINT are blocked and read from a descriptor polled with
     * the sockets, so that they never interrupt a call into the library. */
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, NULL);
    const int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (stop_fd < 0)
        fail("signalfd", strerror(errno));

    amqp_connection_state_t in = open_connection(&s, "consuming connection");
    amqp_connection_state_t out = open_connection(&s, "publishing connection");
    amqp_basic_qos(in, Channel, 0, (uint16_t)s.prefetch, 0);
    check_reply(amqp_get_rpc_reply(in), "basic.qos");
    amqp_confirm_select(out, Channel);
    check_reply(amqp_get_rpc_reply(out), "confirm.select");
    amqp_basic_consume(in, Channel, amqp_cstring_bytes(s.queue), amqp_empty_bytes, 0, 0, 0, amqp_empty_table);
    check_reply(amqp_get_rpc_reply(in), "basic.consume");

    const amqp_bytes_t *keys = routing_keys(&s);
    const size_t per_delivery = s.fanout ? (size_t)s.shards : 1;
    struct deliveries d = {(size_t)s.prefetch, 0, 0, 0, NULL, NULL};
    d.tags = allocate(d.capacity, sizeof *d.tags);
    d.last_publish = allocate(d.capacity, sizeof *d.last_publish);
    struct publications p = {d.capacity * per_delivery, NULL, 1, 0};
    p.confirmed = allocate(p.capacity, 1);

    /* The consuming socket, the publishing one, the stop signals. */
    struct pollfd watched[3] = {{amqp_get_sockfd(in), POLLIN, POLLIN},
                                {amqp_get_sockfd(out), POLLIN, POLLIN},
                                {stop_fd, POLLIN, 0}};
    uint64_t counter = 0;
    int stopping = 0;
    int idle_polls = 0; /* in a row, while confirms are awaited */
    for (;;) {
        /* Whatever is at hand: deliveries (none once stopping), each published
         * as it is read, then confirms. A socket is read again only when the
         * library's buffer of it still holds bytes: otherwise poll() decides. */
        int progress = 0;
        if (!stopping && readable(&watched[0], in)) {
            while (forward_one(in, out, &s, keys, &counter, &d, &p)) {
                progress = 1;
                if (!amqp_data_in_buffer(in) && !amqp_frames_enqueued(in))
                    break;
            }
        }
        if (readable(&watched[1], out)) {
            while (read_confirm(out, &p)) {
                progress = 1;
                if (!amqp_data_in_buffer(out))
                    break;
            }
        }
        acknowledge_settled(in, &d, &p);
        if (stopping && d.count == 0)
            break;
        watched[0].events = stopping ? 0 : POLLIN;
        const int ready = poll(watched, 3, progress ? 0 : IdleWaitMilliseconds);
        if (ready < 0 && errno != EINTR)
            fail("poll", strerror(errno));
        if (ready > 0 && (watched[2].revents & POLLIN))
            stopping = 1;
        if (ready != 0 || progress || p.confirmed_up_to + 1 == p.next)
            idle_polls = 0;
        else if (++idle_polls * IdleWaitMilliseconds >= ConfirmTimeoutSeconds * 1000)
            fail("waiting for confirms", "none came for 30 s");
    }
    close_connection(in);
    close_connection(out);
    return 0;
}
