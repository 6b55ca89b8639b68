#pragma once

#include "router/json_decision.h"

#include <QByteArray>

// The decision as QJsonDocument makes it: the definition the service's own
// decision is checked against. Tests and the fuzz target only: QJsonDocument
// keeps memory after some bodies and builds a tree for every one.
JsonDecision qt_json_decision(const QByteArray& body);
