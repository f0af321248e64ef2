// A remote command: created by its declare function for one check-in,
// executed once, then destroyed.
#pragma once

#include "platform/cloud_services.h"

class Response : public CloudServices {
public:
    virtual void execute() = 0;

protected:
    Response(Aggregator* aggregator, Client* client) : CloudServices(aggregator, client) {}
};

struct CommandEntry {
    std::string name;  // as the platform sends it, compared exactly
    Response* (*declare)(Aggregator*, Client*);
};
