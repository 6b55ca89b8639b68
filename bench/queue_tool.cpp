// Sets up and inspects the benchmark's exchange and queue, for bench/run.sh.
//   bench_queue_tool setup --port P --vhost V   declare the exchange and the queue, bind them
//   bench_queue_tool depth --port P --vhost V   print the number of ready messages in the queue
//   bench_queue_tool purge --port P --vhost V   empty the queue
#include "rmq_connection.h"
#include "workload.h"

#include <amqp_framing.h>

#include <cstdio>

namespace {

constexpr const char* Side = "queue tool";

amqp_bytes_t bytes(const char* text)
{
    return amqp_cstring_bytes(text);
}

void setup(const RmqConnection& c)
{
    // Neither durable nor auto-deleted: the queue outlives each run's connection.
    amqp_exchange_declare(c.state(), RmqConnection::Channel, bytes(bench::ExchangeName), bytes("direct"), 0, 0, 0, 0,
                          amqp_empty_table);
    c.checkLastReply("exchange.declare");
    amqp_queue_declare(c.state(), RmqConnection::Channel, bytes(bench::QueueName), 0, 0, 0, 0, amqp_empty_table);
    c.checkLastReply("queue.declare");
    amqp_queue_bind(c.state(), RmqConnection::Channel, bytes(bench::QueueName), bytes(bench::ExchangeName),
                    bytes(bench::RoutingKey), amqp_empty_table);
    c.checkLastReply("queue.bind");
}

void depth(const RmqConnection& c)
{
    const amqp_queue_declare_ok_t* ok =
        amqp_queue_declare(c.state(), RmqConnection::Channel, bytes(bench::QueueName), 1, 0, 0, 0, amqp_empty_table);
    c.checkLastReply("queue.declare (passive)");
    std::printf("%u\n", ok->message_count);
}

void purge(const RmqConnection& c)
{
    amqp_queue_purge(c.state(), RmqConnection::Channel, bytes(bench::QueueName));
    c.checkLastReply("queue.purge");
}

} // namespace

int main(int argc, char** argv)
{
    const bench::Workload w = bench::parseWorkload(argc, argv);
    const RmqConnection connection(Side, w.port, w.vhost);
    if (w.operation == "setup")
        setup(connection);
    else if (w.operation == "depth")
        depth(connection);
    else if (w.operation == "purge")
        purge(connection);
    else
        bench::fail(Side, "unknown operation " + w.operation);
    return 0;
}
