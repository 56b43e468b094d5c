#include "introspect.hpp"

#include "sdbusjson/signature.hpp"

namespace platformsim
{

namespace signature = sdbusjson::signature;

namespace
{

constexpr const char* header =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection "
    "1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n";

constexpr const char* standard =
    R"xml( <interface name="org.freedesktop.DBus.Peer">
  <method name="Ping"/>
  <method name="GetMachineId">
   <arg type="s" name="machine_uuid" direction="out"/>
  </method>
 </interface>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect">
   <arg name="xml_data" type="s" direction="out"/>
  </method>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get">
   <arg name="interface_name" direction="in" type="s"/>
   <arg name="property_name" direction="in" type="s"/>
   <arg name="value" direction="out" type="v"/>
  </method>
  <method name="GetAll">
   <arg name="interface_name" direction="in" type="s"/>
   <arg name="props" direction="out" type="a{sv}"/>
  </method>
  <method name="Set">
   <arg name="interface_name" direction="in" type="s"/>
   <arg name="property_name" direction="in" type="s"/>
   <arg name="value" direction="in" type="v"/>
  </method>
  <signal name="PropertiesChanged">
   <arg type="s" name="interface_name"/>
   <arg type="a{sv}" name="changed_properties"/>
   <arg type="as" name="invalidated_properties"/>
  </signal>
 </interface>
)xml";

constexpr const char* manager =
    R"xml( <interface name="org.freedesktop.DBus.ObjectManager">
  <method name="GetManagedObjects">
   <arg type="a{oa{sa{sv}}}" name="object_paths_interfaces_and_properties" direction="out"/>
  </method>
  <signal name="InterfacesAdded">
   <arg type="o" name="object_path"/>
   <arg type="a{sa{sv}}" name="interfaces_and_properties"/>
  </signal>
  <signal name="InterfacesRemoved">
   <arg type="o" name="object_path"/>
   <arg type="as" name="interfaces"/>
  </signal>
 </interface>
)xml";

void addArgs(std::string& xml, const std::string& sig, const char* direction)
{
    for (const auto& type : signature::split(sig))
    {
        xml +=
            "   <arg type=\"" + type + "\" direction=\"" + direction + "\"/>\n";
    }
}

} // namespace

std::string introspectXml(const Object* object, bool objectManager,
                          const std::vector<std::string>& children)
{
    std::string xml = header;
    xml += "<node>\n";
    xml += standard;
    if (objectManager)
    {
        xml += manager;
    }
    if (object != nullptr)
    {
        for (const auto& [name, interface] : object->interfaces)
        {
            xml += " <interface name=\"" + name + "\">\n";
            for (const auto& [member, method] : interface.methods)
            {
                xml += "  <method name=\"" + member + "\">\n";
                addArgs(xml, method.in, "in");
                addArgs(xml, method.out, "out");
                xml += "  </method>\n";
            }
            for (const auto& [property, value] : interface.properties)
            {
                xml += "  <property name=\"" + property + "\" type=\"" +
                       value.signature + "\" access=\"readwrite\"/>\n";
            }
            xml += " </interface>\n";
        }
    }
    for (const auto& child : children)
    {
        xml += " <node name=\"" + child + "\"/>\n";
    }
    xml += "</node>\n";
    return xml;
}

} // namespace platformsim
