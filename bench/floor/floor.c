/* The floor the daemons are measured against: the least a service on the
 * system bus can be. It opens the bus (DBUS_SYSTEM_BUS_ADDRESS when set),
 * serves one object with a read-write boolean property that announces its
 * changes, a method that returns at once and one that returns an array of
 * 64-bit integers of the length asked for, owns its name (the argument,
 * local.benchfloor without one), and waits. */

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-bus.h>

#define FLOOR_NAME "local.benchfloor"
#define FLOOR_PATH "/local/benchfloor"
#define FLOOR_INTERFACE "local.benchfloor"

static int flag;

static int getFlag(sd_bus* bus, const char* path, const char* interface,
                   const char* property, sd_bus_message* reply, void* userdata,
                   sd_bus_error* error)
{
    (void)bus;
    (void)path;
    (void)interface;
    (void)property;
    (void)userdata;
    (void)error;
    return sd_bus_message_append(reply, "b", flag);
}

static int setFlag(sd_bus* bus, const char* path, const char* interface,
                   const char* property, sd_bus_message* value, void* userdata,
                   sd_bus_error* error)
{
    (void)userdata;
    (void)error;
    int next = 0;
    int r = sd_bus_message_read(value, "b", &next);
    if (r < 0)
    {
        return r;
    }
    if (next == flag)
    {
        return 0;
    }
    flag = next;
    return sd_bus_emit_properties_changed(bus, path, interface, property, NULL);
}

static int nop(sd_bus_message* call, void* userdata, sd_bus_error* error)
{
    (void)userdata;
    (void)error;
    return sd_bus_reply_method_return(call, NULL);
}

/* Array(u length) -> ax: the least a method can do to answer with that
 * many 64-bit values: fill them and append them in one piece. */
static int array(sd_bus_message* call, void* userdata, sd_bus_error* error)
{
    (void)userdata;
    (void)error;
    uint32_t length = 0;
    int r = sd_bus_message_read(call, "u", &length);
    if (r < 0)
    {
        return r;
    }
    if (length > (1U << 24))
    {
        return -EINVAL;
    }
    int64_t* values = malloc(length * sizeof(int64_t) + 1);
    if (values == NULL)
    {
        return -ENOMEM;
    }
    for (uint32_t i = 0; i < length; ++i)
    {
        values[i] = (int64_t)i;
    }
    sd_bus_message* reply = NULL;
    r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0)
    {
        r = sd_bus_message_append_array(reply, 'x', values,
                                        length * sizeof(int64_t));
    }
    if (r >= 0)
    {
        r = sd_bus_send(NULL, reply, NULL);
    }
    sd_bus_message_unref(reply);
    free(values);
    return r;
}

static const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_WRITABLE_PROPERTY("Flag", "b", getFlag, setFlag, 0,
                             SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_METHOD("Nop", "", "", nop, 0),
    SD_BUS_METHOD("Array", "u", "ax", array, 0),
    SD_BUS_VTABLE_END,
};

int main(int argc, char** argv)
{
    const char* name = argc > 1 ? argv[1] : FLOOR_NAME;
    sd_bus* bus = NULL;
    int r = sd_bus_open_system(&bus);
    if (r >= 0)
    {
        r = sd_bus_add_object_vtable(bus, NULL, FLOOR_PATH, FLOOR_INTERFACE,
                                     vtable, NULL);
    }
    if (r >= 0)
    {
        r = sd_bus_request_name(bus, name, 0);
    }
    while (r >= 0)
    {
        r = sd_bus_process(bus, NULL);
        if (r == 0)
        {
            r = sd_bus_wait(bus, (uint64_t)-1);
        }
    }
    fprintf(stderr, "floor: %s\n", strerror(-r));
    sd_bus_flush_close_unref(bus);
    return 1;
}
