# The Samba configurations shared by the live lab and the capture script:
#   samba_server_conf STATE_DIR SHARE_ROOT ADDRESS [ADDRESS6] > STATE_DIR/smb.conf
#   samba_client_conf STATE_DIR > STATE_DIR/smb.conf
# Signing and encryption are off so that a guard in the path may rewrite frames; SMB1 is
# allowed for NT1 clients; Unix extensions are off so that an SMB1 client behaves like a
# Windows one. Shares docs and public lie under SHARE_ROOT.
samba_server_conf() {
    local d=$1 share=$2 address=$3 address6=${4:-}
    local interfaces="$address/24"
    [[ -n $address6 ]] && interfaces+=" $address6/64"
    cat <<EOT
[global]
    workgroup = TESTDOM
    netbios name = FILESRV
    server role = standalone server
    security = user
    passdb backend = tdbsam:$d/private/passdb.tdb
    private dir = $d/private
    state directory = $d/state
    lock directory = $d/lock
    cache directory = $d/cache
    pid directory = $d/pid
    ncalrpc dir = $d/ncalrpc
    binddns dir = $d/binddns
    usershare path = $d/usershares
    log file = $d/log/smbd.log
    log level = 1
    interfaces = $interfaces
    bind interfaces only = yes
    smb ports = 445
    disable netbios = yes
    server min protocol = NT1
    server max protocol = SMB3
    server signing = disabled
    server smb encrypt = off
    smb1 unix extensions = no
    map to guest = never
    load printers = no
    printing = bsd
    printcap name = /dev/null
    disable spoolss = yes
    kernel oplocks = no
    store dos attributes = no
    ea support = no
    vfs objects =

[docs]
    path = $share/docs
    read only = no
    valid users = alice bob jörg
    create mask = 0666
    directory mask = 0777

[public]
    path = $share/public
    read only = no
    valid users = alice bob jörg
    create mask = 0666
    directory mask = 0777
EOT
}

# The client identifies itself as workstation WKS7 in domain TESTDOM and uses NTLMSSP (no
# Kerberos), without signing or encryption. Its state lies in STATE_DIR.
samba_client_conf() {
    local d=$1
    cat <<EOT
[global]
    workgroup = TESTDOM
    netbios name = WKS7
    private dir = $d
    state directory = $d
    lock directory = $d
    cache directory = $d
    pid directory = $d
    log file = $d/client.log
    name resolve order = host
    client min protocol = NT1
    client max protocol = SMB3
    client signing = disabled
    client ipc signing = disabled
    client smb encrypt = off
    client use kerberos = off
EOT
}
