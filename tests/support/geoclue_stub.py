#!/usr/bin/python3
"""Stand-in for the GeoClue2 location service, served on the bus given as argv[1].

One client; its location object appears on Start with the values of argv[2:7]
(latitude, longitude, accuracy, seconds, microseconds). The test interface moves the
position (a new location object, as the real service makes) and refuses Start on request.
Prints "ready" once the service name is owned.
"""
import sys

from gi.repository import Gio, GLib

XML = """
<node>
  <interface name='org.freedesktop.GeoClue2.Manager'>
    <method name='GetClient'><arg type='o' direction='out'/></method>
  </interface>
  <interface name='org.freedesktop.GeoClue2.Client'>
    <method name='Start'/>
    <method name='Stop'/>
    <property name='Location' type='o' access='read'/>
    <property name='DesktopId' type='s' access='readwrite'/>
    <property name='RequestedAccuracyLevel' type='u' access='readwrite'/>
    <property name='Active' type='b' access='read'/>
  </interface>
  <interface name='org.freedesktop.GeoClue2.Location'>
    <property name='Latitude' type='d' access='read'/>
    <property name='Longitude' type='d' access='read'/>
    <property name='Accuracy' type='d' access='read'/>
    <property name='Timestamp' type='(tt)' access='read'/>
  </interface>
  <interface name='org.marolin.test.GeoClueStub'>
    <method name='Move'>
      <arg type='d' direction='in'/><arg type='d' direction='in'/><arg type='d' direction='in'/>
      <arg type='t' direction='in'/><arg type='t' direction='in'/>
    </method>
    <method name='DenyStart'/>
  </interface>
</node>
"""
NODE = Gio.DBusNodeInfo.new_for_xml(XML)
MANAGER, CLIENT, LOCATION, TEST = (NODE.lookup_interface(n) for n in (
    'org.freedesktop.GeoClue2.Manager', 'org.freedesktop.GeoClue2.Client',
    'org.freedesktop.GeoClue2.Location', 'org.marolin.test.GeoClueStub'))
MANAGER_PATH = '/org/freedesktop/GeoClue2/Manager'
CLIENT_PATH = '/org/freedesktop/GeoClue2/Client/1'

conn = Gio.DBusConnection.new_for_address_sync(
    sys.argv[1],
    Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
    None, None)
position = [float(v) for v in sys.argv[2:5]] + [int(v) for v in sys.argv[5:7]]
client = {'DesktopId': '', 'RequestedAccuracyLevel': 0, 'Active': False, 'Location': '/'}
state = {'deny': False, 'serial': 0}
locations = {}


def publish_location():
    state['serial'] += 1
    path = '%s/Location/%d' % (CLIENT_PATH, state['serial'])
    values = list(position)
    locations[path] = values

    def get_prop(_c, _s, _p, _i, name):
        return {'Latitude': GLib.Variant('d', values[0]),
                'Longitude': GLib.Variant('d', values[1]),
                'Accuracy': GLib.Variant('d', values[2]),
                'Timestamp': GLib.Variant('(tt)', (values[3], values[4]))}[name]

    conn.register_object(path, LOCATION, None, get_prop, None)
    client['Location'] = path


def manager_call(_c, _s, _p, _i, method, _args, inv):
    inv.return_value(GLib.Variant('(o)', (CLIENT_PATH,)))


def client_call(_c, _s, _p, _i, method, _args, inv):
    if method == 'Start':
        if state['deny']:
            inv.return_dbus_error('org.freedesktop.DBus.Error.AccessDenied', 'not allowed')
            return
        if not client['DesktopId']:
            inv.return_dbus_error('org.freedesktop.DBus.Error.AccessDenied', 'no DesktopId')
            return
        client['Active'] = True
        if client['Location'] == '/':
            publish_location()
    else:
        client['Active'] = False
    inv.return_value(None)


def client_get(_c, _s, _p, _i, name):
    kind = {'Location': 'o', 'DesktopId': 's', 'RequestedAccuracyLevel': 'u', 'Active': 'b'}
    return GLib.Variant(kind[name], client[name])


def client_set(_c, _s, _p, _i, name, value):
    client[name] = value.unpack()
    return True


def test_call(_c, _s, _p, _i, method, args, inv):
    if method == 'Move':
        position[:] = list(args.unpack())
        if client['Active']:
            publish_location()
    else:
        state['deny'] = True
    inv.return_value(None)


conn.register_object(MANAGER_PATH, MANAGER, manager_call, None, None)
conn.register_object(MANAGER_PATH, TEST, test_call, None, None)
conn.register_object(CLIENT_PATH, CLIENT, client_call, client_get, client_set)


def owned(_c, _name):
    print('ready', flush=True)


Gio.bus_own_name_on_connection(conn, 'org.freedesktop.GeoClue2', Gio.BusNameOwnerFlags.NONE,
                               owned, lambda *a: sys.exit(1))
GLib.MainLoop().run()
