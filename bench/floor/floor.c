/* The floor the daemons are measured against: the least a service on the
 * system bus can be. It opens the bus (DBUS_SYSTEM_BUS_ADDRESS when set),
 * serves one object with a read-write boolean property that announces its
 * changes, a method that returns at once and one that returns an array of
 * 64-bit integers of the length asked for, owns its name (the argument,
 * local.benchfloor without one), and waits. Beside them, the least an
 * inventory daemon's sync can do: SplitFile reads a file and splits it into
 * lines and TAB-separated fields, EmitChanges announces the property as
 * changed a given number of times. */

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

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

/* The fields of one line: a run of TABs is one separator. */
static uint32_t fieldsOf(const char* p, const char* end)
{
    uint32_t fields = 1;
    const char* tab = NULL;
    while ((tab = memchr(p, '\t', (size_t)(end - p))) != NULL)
    {
        ++fields;
        p = tab + 1;
        while (p < end && *p == '\t')
        {
            ++p;
        }
    }
    return fields;
}

/* Reads the file named by the call in 16 kB reads and splits it into lines
 * and fields, the work a sync of the inventory file cannot avoid; replies
 * with the counts of both. Lines longer than 64 kB are dropped. */
static int splitFile(sd_bus_message* call, void* userdata, sd_bus_error* error)
{
    (void)userdata;
    enum
    {
        chunk = 16 * 1024,
        longest = 64 * 1024,
    };
    static char buffer[longest + chunk];
    const char* path = NULL;
    int r = sd_bus_message_read(call, "s", &path);
    if (r < 0)
    {
        return r;
    }
    int fd = open(path, O_RDONLY);
    if (fd < 0)
    {
        return sd_bus_error_set_errno(error, errno);
    }
    uint32_t lines = 0;
    uint32_t fields = 0;
    size_t kept = 0;
    ssize_t n = 0;
    while ((n = read(fd, buffer + kept, chunk)) > 0)
    {
        const char* p = buffer;
        const char* end = buffer + kept + (size_t)n;
        const char* lf = NULL;
        while ((lf = memchr(p, '\n', (size_t)(end - p))) != NULL)
        {
            ++lines;
            fields += fieldsOf(p, lf);
            p = lf + 1;
        }
        kept = (size_t)(end - p);
        if (kept > longest)
        {
            kept = 0;
        }
        memmove(buffer, p, kept);
    }
    close(fd);
    if (n < 0)
    {
        return sd_bus_error_set_errno(error, EIO);
    }
    return sd_bus_reply_method_return(call, "uu", lines, fields);
}

/* Emits PropertiesChanged of Flag as many times as asked. */
static int emitChanges(sd_bus_message* call, void* userdata,
                       sd_bus_error* error)
{
    (void)userdata;
    (void)error;
    uint32_t count = 0;
    int r = sd_bus_message_read(call, "u", &count);
    if (r < 0)
    {
        return r;
    }
    sd_bus* bus = sd_bus_message_get_bus(call);
    for (uint32_t i = 0; i < count && r >= 0; ++i)
    {
        r = sd_bus_emit_properties_changed(bus, FLOOR_PATH, FLOOR_INTERFACE,
                                           "Flag", NULL);
    }
    if (r < 0)
    {
        return r;
    }
    return sd_bus_reply_method_return(call, NULL);
}

static const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_WRITABLE_PROPERTY("Flag", "b", getFlag, setFlag, 0,
                             SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_METHOD("Nop", "", "", nop, 0),
    SD_BUS_METHOD("Array", "u", "ax", array, 0),
    SD_BUS_METHOD("SplitFile", "s", "uu", splitFile, 0),
    SD_BUS_METHOD("EmitChanges", "u", "", emitChanges, 0),
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
