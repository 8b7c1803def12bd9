#!/usr/bin/perl
# Writes a zip archive of a folder whose bytes depend only on what the files hold: entries in
# sorted order, every time stamp the one given, fixed modes (programs 755, other files 644), no
# owners and no extra fields, the same compression level everywhere.
# Usage: zipfolder.pl ARCHIVE FOLDER EPOCH   (EPOCH: seconds since 1970, as SOURCE_DATE_EPOCH)
use strict;
use warnings;
use File::Find;
use IO::Compress::Zip qw($ZipError :zip_method);
use POSIX qw(tzset);

my ($archive, $folder, $epoch) = @ARGV;
die "usage: zipfolder.pl ARCHIVE FOLDER EPOCH\n"
  unless defined $epoch && $epoch =~ /^[0-9]+$/ && -d $folder;
# The archive holds local times: UTC makes them the same on every machine. Zip times begin in 1980.
$ENV{TZ} = 'UTC';
tzset();
$epoch = 315532800 if $epoch < 315532800;

my @entries;
find({ no_chdir => 1, wanted => sub {
  return if $_ eq $folder;
  my $name = substr($_, length($folder) + 1);
  push @entries, -d $_ ? "$name/" : $name;
} }, $folder);
@entries = sort @entries;
die "zipfolder: '$folder' is empty\n" unless @entries;

my $zip;
for my $name (@entries) {
  my $directory = $name =~ m{/$};
  my $mode = $directory ? 040755 : $name =~ /\.exe$/i ? 0100755 : 0100644;
  # No extra field is written unless asked for (Minimal would also drop the modes).
  my %options = (
    Name => $name, Time => $epoch, Stream => 0, OS_Code => 3,
    ExtAttr => ($mode << 16) | ($directory ? 0x10 : 0),
    Method => $directory ? ZIP_CM_STORE : ZIP_CM_DEFLATE, Level => 9,
  );
  if ($zip) {
    $zip->newStream(%options) or die "zipfolder: $ZipError\n";
  } else {
    $zip = IO::Compress::Zip->new($archive, %options) or die "zipfolder: $ZipError\n";
  }
  next if $directory;
  open(my $in, '<:raw', "$folder/$name") or die "zipfolder: cannot read $folder/$name: $!\n";
  my $data = do { local $/; <$in> };
  close($in);
  $zip->print($data) or die "zipfolder: $ZipError\n";
}
$zip->close() or die "zipfolder: $ZipError\n";
