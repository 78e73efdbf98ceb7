// The cloud session record's allocation, alone in its file so that a test
// program can put a failing allocation of its own in its place.
#include "cloud/cloud.h"

#include "common/memory.h"

CloudClient *cloud_client_allocate(void) {
    CloudClient *client = (CloudClient *)heap_alloc(sizeof(CloudClient));
    if (client == nullptr) return nullptr;
    client->session = nullptr;
    client->connection = nullptr;
    return client;
}
