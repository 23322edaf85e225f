#pragma once

namespace nerix::platform {

// How the listener takes the connections of one wake-up, from how peers have been arriving.
//
// Peers one after the other (a page's requests, health checks): each wake-up finds one
// connection. Looking for a second costs an accept that finds none, so after such a look the
// next wake-ups (1, 2, 4, then 8 at most) take one and do not look; the wait's re-arm reports a
// connection that is queued anyway. They are accepted as they connect, so that accepting
// overlaps with the peer's send: deferred until their request had arrived, the health answer
// stayed at 0.92-1.00x nginx's sequential rate.
//
// Peers together (a load of 64 at once): a wake-up finds two or more. They are then reported
// only once their first bytes are in (TCP_DEFER_ACCEPT), so each request is read straight after
// its accept; accepted early, nearly every one was registered with the reactor to wait for its
// request (3.5 epoll_ctl, an ioctl and a failed recv each), which put the CPU per request 5 to
// 19% above nginx's with one worker, and below it once deferred. After 64 wake-ups in a row with
// one connection, peers are taken to come one at a time again. A peer that sends nothing is
// still accepted after the deferral (about a second).
class AcceptPacing {
public:
    // After the first connection of a wake-up: whether to look for another at once.
    bool lookForAnother();
    // The wake-up is over, having taken `taken` connections from `listener` (a descriptor).
    void wakeUpTook(int listener, int taken);

private:
    void deferAccepts(int listener, bool defer);

    int wakesWithoutLook_ = 0;  // how many wake-ups the last fruitless look put off the next
    int skipLooks_ = 0;         // wake-ups still to go without a look
    bool deferring_ = false;    // connections are reported once their first bytes arrive
    int aloneInARow_ = 0;       // wake-ups in a row that found one connection, while deferring
};

}  // namespace nerix::platform
