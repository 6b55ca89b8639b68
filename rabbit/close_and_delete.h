#pragma once

class QAmqpClient;
class QObject;

// Closes the client's connection properly (connection.close, then the
// broker's close-ok for at most 2 s, after whatever was written before) and
// deletes `owner` from the event loop once it is closed, or at once when the
// connection was not up. The client stops reconnecting.
void close_and_delete(QAmqpClient& client, QObject* owner);
